#pragma once

#include "effects/EQFilter.hpp"

#include <memory>
#include <string>

// Creates and copies EQEffect filters by type name. Control threads only.
class EQFilterFactory {
public:
    static std::shared_ptr<EQFilter> createEQFilter(const std::string& type, unsigned id);
    static std::shared_ptr<EQFilter> makeDeepCopy(const std::shared_ptr<EQFilter>& filter);
};
