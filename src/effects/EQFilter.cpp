#include "effects/EQFilter.hpp"

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
    (this->*(it->second))(value);
    return 0;
}

std::string EQFilter::getName() const {
    return name;
}

unsigned EQFilter::getId() const {
    return id;
}

std::map<std::string, EQFilter::Getter> EQFilter::getGetters() const {
    return getters;
}
