#include "effects/EQFilter.hpp"

#include "effects/ParameterRange.hpp"
#include "utilities/Log.hpp"

EQFilter::EQFilter(std::string name, unsigned id) : name(std::move(name)), id(id) {
    Utilities::log("EQFilter constructor", "EQFilter", __LINE__);
}

int EQFilter::setEffectParameter(const std::string& parameter, float value) {
    const auto it = setters.find(parameter);
    if (it == setters.end()) {
        Utilities::error("EQ Parameter not found", "setEffectParameter", __LINE__);
        return -1;
    }
    if (!acceptsValue(parameter, value)) return -1;
    (this->*(it->second))(value);
    return 0;
}

bool EQFilter::acceptsValue(const std::string& parameter, float value) const {
    const auto range = filterParameterRange(name, parameter);
    return !range || acceptsParameterValue(name, parameter, value, *range, "setEffectParameter");
}

std::string EQFilter::getName() const {
    return name;
}

unsigned EQFilter::getId() const {
    return id;
}

const std::map<std::string, EQFilter::Getter>& EQFilter::getGetters() const {
    return getters;
}
