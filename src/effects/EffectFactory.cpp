#include "effects/EffectFactory.hpp"

#include "effects/DeviceDelayEffect.hpp"
#include "effects/EQDemoEffect.hpp"
#include "effects/EQEffect.hpp"
#include "effects/EqualizerEffect.hpp"
#include "effects/PanEffect.hpp"
#include "effects/ReverbEffect.hpp"
#include "effects/VolumeEffect.hpp"
#include "utilities/Log.hpp"

const std::vector<std::string> mandatoryEffects{"VolumeEffect"};
const std::vector<std::string> masterEffectsNames{"VolumeEffect"};

namespace {

template <typename Concrete>
std::shared_ptr<Effect> copyAs(const std::shared_ptr<Effect>& effect) {
    const auto* source = dynamic_cast<const Concrete*>(effect.get());
    return source ? std::make_shared<Concrete>(*source) : nullptr;
}

} // namespace

std::shared_ptr<Effect> createEffect(const std::string& name, std::shared_ptr<EqualizerControl> equalizer) {
    if (name == "VolumeEffect") return std::make_shared<VolumeEffect>(name);
    if (name == "PanEffect") return std::make_shared<PanEffect>(name);
    if (name == "EqualizerEffect") return std::make_shared<EqualizerEffect>(name);
    if (name == "DeviceDelayEffect") return std::make_shared<DeviceDelayEffect>(name);
    if (name == "EQEffect") return std::make_shared<EQEffect>(name);
    if (name == "ReverbEffect") return std::make_shared<ReverbEffect>(name);
    if (name == "EQDemoEffect") {
        // The only effect that drives its own stream through the engine.
        if (equalizer) return std::make_shared<EQDemoEffect>(name, std::move(equalizer));
        Utilities::error("Core or Stream is null for EQDemoEffect", "createEffect", __LINE__);
    }
    Utilities::error("Effect not found", "createEffect", __LINE__);
    return nullptr;
}

std::shared_ptr<Effect> makeDeepCopy(const std::shared_ptr<Effect>& effect) {
    std::shared_ptr<Effect> copy;
    if (effect) {
        const std::string name = effect->getName();
        if (name == "VolumeEffect") copy = copyAs<VolumeEffect>(effect);
        else if (name == "PanEffect") copy = copyAs<PanEffect>(effect);
        else if (name == "EqualizerEffect") copy = copyAs<EqualizerEffect>(effect);
        else if (name == "DeviceDelayEffect") copy = copyAs<DeviceDelayEffect>(effect);
        else if (name == "EQEffect") copy = copyAs<EQEffect>(effect);
        else if (name == "ReverbEffect") copy = copyAs<ReverbEffect>(effect);
        else if (name == "EQDemoEffect") copy = copyAs<EQDemoEffect>(effect);
    }
    if (!copy) Utilities::error("Effect not found", "makeDeepCopy", __LINE__);
    return copy;
}
