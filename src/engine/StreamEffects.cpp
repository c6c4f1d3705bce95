// A stream's effect chain. The control side edits `effects` and publishes a copy for the audio
// thread; effects leave the chain on the control side only.

#include "effects/Effect.hpp"
#include "effects/EQEffect.hpp"
#include "effects/EffectFactory.hpp"
#include "effects/EQDemoEffect.hpp"
#include "engine/StreamEqualizerControl.hpp"
#include "engine/Stream.hpp"
#include "utilities/Log.hpp"

#include <algorithm>

namespace {

bool isMandatoryName(const std::string& name) {
    return std::find(mandatoryEffects.begin(), mandatoryEffects.end(), name) != mandatoryEffects.end();
}

std::shared_ptr<Effect> findEffect(const EffectChain& chain, const std::string& name) {
    for (const auto& effect : chain)
        if (effect && effect->getName() == name) return effect;
    return nullptr;
}

} // namespace

int Stream::addEffect(const std::string& name) {
    if (findEffect(effects, name)) {
        Utilities::error("Effect already added", "addEffect", __LINE__);
        return -1;
    }
    // The five-band equalizer drives its own stream's parametric one, so it alone is handed that.
    std::shared_ptr<EqualizerControl> equalizer;
    if (name == "EQDemoEffect" && services.owner && !weak_from_this().expired())
        equalizer = std::make_shared<StreamEqualizerControl>(services.owner, weak_from_this());
    auto effect = createEffect(name, equalizer);
    if (!effect) {
        Utilities::error("Effect not found", "addEffect", __LINE__);
        return -1;
    }
    if (isMandatoryName(name)) effect->setIsMandatory(true);
    prepareEffect(*effect);
    effects.push_back(effect);
    publishEffects();
    Utilities::success("Effect " + name + " added", "addEffect", __LINE__);
    return 0;
}

int Stream::addEffectByInstance(std::shared_ptr<Effect> effect) {
    const std::string name = effect->getName();
    for (const auto& existing : getEffects()) {
        if (!existing) {
            Utilities::log("Effect in list is null", "addEffectByInstance", __LINE__);
            break;
        }
        if (existing->getName() == name) {
            Utilities::log("Effect already added, replacing it", "addEffectByInstance", __LINE__);
            removeEffect(name, true);
        }
    }
    // A five-band equalizer copied from another stream must shape this one, not its source.
    auto* fiveBand = dynamic_cast<EQDemoEffect*>(effect.get());
    if (fiveBand && services.owner && !weak_from_this().expired())
        fiveBand->drivenBy(std::make_shared<StreamEqualizerControl>(services.owner, weak_from_this()));
    prepareEffect(*effect);
    effects.push_back(std::move(effect));
    publishEffects();
    Utilities::success("Effect " + name + " added", "addEffectByInstance", __LINE__);
    return 0;
}

int Stream::removeEffect(const std::string& name, bool force) {
    if (!force && isMandatoryName(name)) {
        Utilities::error("Cannot remove mandatory effect", "removeEffect", __LINE__);
        return -1;
    }
    auto it = std::find_if(effects.begin(), effects.end(),
                           [&](const auto& effect) { return effect && effect->getName() == name; });
    if (it == effects.end()) {
        Utilities::error("Effect not found", "removeEffect", __LINE__);
        return -1;
    }
    effects.erase(it);
    publishEffects();
    Utilities::success("Effect " + name + " removed", "removeEffect", __LINE__);
    return 0;
}

int Stream::setEffectParameter(const std::string& effect, const std::string& parameter, float value) {
    bool matched = false, accepted = true;
    for (const auto& candidate : effects) {
        if (!candidate || candidate->getName() != effect) continue;
        accepted = candidate->setEffectParameter(parameter, value) && accepted;
        matched = true;
    }
    if (!matched) {
        Utilities::error("Effect not found", "setEffectParameter", __LINE__);
        return -1;
    }
    return accepted ? 0 : -1;
}

bool Stream::acceptsEffectValue(const std::string& effect, const std::string& parameter, float value) const {
    const auto found = findEffect(effects, effect);
    return !found || found->acceptsValue(parameter, value);
}

int Stream::setEffectEnable(const std::string& effect, bool enable) {
    if (auto found = findEffect(effects, effect)) {
        found->setEnable(enable);
        return 0;
    }
    Utilities::error("Effect not found", "setEffectEnable", __LINE__);
    return -1;
}

float Stream::getEffectParameterValue(const std::string& effect, const std::string& parameter) const {
    auto found = findEffect(effects, effect);
    if (!found) {
        Utilities::error("Effect not found", "getEffectParameterValue", __LINE__);
        return -1.0f;
    }
    const auto& getters = found->getGetters();
    // A parameter without a getter is the caller's error: std::out_of_range.
    return (found.get()->*getters.at(parameter))();
}

// ---- Parametric equalizer filters ----

namespace {

std::shared_ptr<EQEffect> findEqualizer(const EffectChain& chain, const char* context) {
    if (auto effect = findEffect(chain, "EQEffect")) return std::static_pointer_cast<EQEffect>(effect);
    Utilities::error("EQEffect not found", context, __LINE__);
    return nullptr;
}

} // namespace

int Stream::addEQFilter(const std::string& type) {
    auto equalizer = findEqualizer(effects, "addEQFilter");
    return equalizer ? equalizer->addFilter(type) : -1;
}

int Stream::removeEQFilter(unsigned int id) {
    auto equalizer = findEqualizer(effects, "removeEQFilter");
    return equalizer ? equalizer->removeFilter(id) : -1;
}

int Stream::setEQFilterParameter(unsigned int id, const std::string& parameter, float value) {
    auto equalizer = findEqualizer(effects, "setEQFilterParameter");
    return equalizer ? equalizer->setFilterParameter(id, parameter, value) : -1;
}

bool Stream::acceptsEQFilterValue(unsigned int id, const std::string& parameter, float value) const {
    const auto equalizer = findEffect(effects, "EQEffect");
    if (!equalizer) return true;
    for (const auto& filter : std::static_pointer_cast<EQEffect>(equalizer)->getFilters())
        if (filter->getId() == id) return filter->acceptsValue(parameter, value);
    return true;
}

int Stream::getEQFilterInfo() {
    auto equalizer = findEqualizer(effects, "getEQFilterInfo");
    return equalizer ? equalizer->getFilterInfo() : -1;
}
