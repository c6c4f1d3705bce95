#pragma once

#include "ctl/web/PanelEngine.hpp"

#include <string>

namespace Ctl::Web {

// The action the page asks for by `name`; throws Failure(kUsage) for an unknown one. Run, the action
// throws Failure(kUsage) for arguments that are missing or out of range, and Failure(kRefused) when
// the engine kept things as they were: the protocol has no error replies, so each action reads back
// what the engine made of it.
PanelEngine::Action parseAction(const std::string& name, const nlohmann::json& arguments);

} // namespace Ctl::Web
