#pragma once

#include "effects/Effect.hpp"

#include <memory>
#include <string>
#include <vector>

class Core;
class Stream;

// Effects are created only by catalogue name (exact, case-sensitive; the effect's name is the
// catalogue name). `core` and `stream` are used only by "EQDemoEffect"; pass a null stream for every
// other name. Null and an error line when the name is unknown. Control threads only.
std::shared_ptr<Effect> createEffect(const std::string& name, Core* core, std::shared_ptr<Stream> stream);

// An independent effect of the same concrete type (what each type carries over is documented on its
// copy constructor), or null for an unknown name.
std::shared_ptr<Effect> makeDeepCopy(const std::shared_ptr<Effect>& effect);

// Effects every stream carries, marked mandatory, in this order.
extern const std::vector<std::string> mandatoryEffects;
// Master effects the Core starts with (and restores after clearing the master chain).
extern const std::vector<std::string> masterEffectsNames;
