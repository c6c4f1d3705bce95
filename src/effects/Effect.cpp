#include "effects/Effect.hpp"

#include "effects/ParameterRange.hpp"
#include "utilities/Log.hpp"

static_assert(std::atomic<float>::is_always_lock_free, "parameters are shared with the audio thread");

// The range comes with the name, so a copy built from the name reports what its source does.
Effect::Effect(std::string name) : name(std::move(name)) {
    Utilities::log("Effect constructor", "Effect", __LINE__);
    const ParameterRange range = effectParameterRange(this->name).value_or(ranges::kDefault);
    minValue = range.min;
    maxValue = range.max;
}

Effect::Effect(const Effect& other)
    : name(other.name),
      setters(other.setters),
      getters(other.getters),
      mandatory(other.mandatory.load(std::memory_order_relaxed)),
      enabled(other.enabled.load(std::memory_order_relaxed)),
      minValue(other.minValue),
      maxValue(other.maxValue),
      processingState(other.processingState) {}

Effect::~Effect() {
    Utilities::log("Effect destructor", "~Effect", __LINE__);
}

bool Effect::setEffectParameter(const std::string& parameter, float value) {
    const auto it = setters.find(parameter);
    if (it == setters.end()) {
        Utilities::error("Parameter not found", "setEffectParameter", __LINE__);
        return false;
    }
    if (!acceptsValue(parameter, value)) return false;
    valueRefused = false;
    (this->*(it->second))(value);
    return !valueRefused;
}

bool Effect::acceptsValue(const std::string& parameter, float value) const {
    if (setters.find(parameter) == setters.end()) return true;  // "Parameter not found" is the setter's to say
    return acceptsParameterValue(name, parameter, value, {minValue, maxValue}, "setEffectParameter");
}

const std::map<std::string, Effect::Getter>& Effect::getGetters() const {
    return getters;
}

std::string Effect::getName() const {
    return name;
}

bool Effect::isMandatory() const {
    return mandatory.load(std::memory_order_relaxed);
}

void Effect::setIsMandatory(bool isMandatory) {
    mandatory.store(isMandatory, std::memory_order_relaxed);
}

bool Effect::getEnable() const {
    return enabled.load(std::memory_order_relaxed);
}

void Effect::setEnable(bool enable) {
    enabled.store(enable, std::memory_order_relaxed);
    Utilities::log("Effect " + name + " " + (enable ? "enabled" : "disabled"), "setEnable", __LINE__);
}

float Effect::getMinValue() const {
    return minValue;
}

float Effect::getMaxValue() const {
    return maxValue;
}

std::string Effect::snapshotHeader() const {
    return name + ": \n";
}

void Effect::copyFlagsFrom(const Effect& other) {
    mandatory.store(other.mandatory.load(std::memory_order_relaxed), std::memory_order_relaxed);
    enabled.store(other.enabled.load(std::memory_order_relaxed), std::memory_order_relaxed);
}
