#pragma once

#include "ctl/Replies.hpp"

#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

// What the panel knows of the engine, and the JSON the page is handed. The page renders that JSON
// as it comes, so every name it shows (devices by name, group colours, sync modes) is settled here.
namespace Ctl::Web {

struct EffectState {
    std::string name;
    bool enabled{false};
    std::vector<ParameterEntry> parameters;
};

struct ChainState {
    std::vector<EffectState> effects;
    std::vector<std::string> addable;
};

struct Notice {
    int id{0};
    std::string text;
};

struct PanelState {
    bool connected{false};
    std::string socketPath;
    std::vector<DeviceEntry> inputs, outputs;
    std::vector<StreamStateEntry> streams;
    std::map<int, ChainState> chains; // by stream id; -1 is the master chain
    std::vector<GroupEntry> groups;
    std::vector<Notice> notices; // oldest first
};

nlohmann::json panelJson(const PanelState& state);

} // namespace Ctl::Web
