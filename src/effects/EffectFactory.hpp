#pragma once

#include "effects/Effect.hpp"
#include "effects/EqualizerControl.hpp"

#include <memory>
#include <string>
#include <vector>

// Effects are created only by catalogue name (exact, case-sensitive; the effect's name is the
// catalogue name). `equalizer` is used only by "EQDemoEffect", which cannot be made without one.
// Null and an error line when the name is unknown. Control threads only.
std::shared_ptr<Effect> createEffect(const std::string& name, std::shared_ptr<EqualizerControl> equalizer = nullptr);

// An independent effect of the same concrete type (what each type carries over is documented on its
// copy constructor), or null for an unknown name.
std::shared_ptr<Effect> makeDeepCopy(const std::shared_ptr<Effect>& effect);

// Effects every stream carries, marked mandatory, in this order.
extern const std::vector<std::string> mandatoryEffects;
// Master effects the Core starts with (and restores after clearing the master chain).
extern const std::vector<std::string> masterEffectsNames;
