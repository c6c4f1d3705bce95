#include "effects/EQFilterFactory.hpp"

#include "effects/PeakFilter.hpp"
#include "utilities/Log.hpp"

std::shared_ptr<EQFilter> EQFilterFactory::createEQFilter(const std::string& type, unsigned id) {
    if (type == "PeakFilter") return std::make_shared<PeakFilter>("PeakFilter", id);
    Utilities::error("Filter not found", "createEQFilter", __LINE__);
    return nullptr;
}

std::shared_ptr<EQFilter> EQFilterFactory::makeDeepCopy(const std::shared_ptr<EQFilter>& filter) {
    if (filter && filter->getName() == "PeakFilter") {
        if (const auto* peak = dynamic_cast<const PeakFilter*>(filter.get()))
            return std::make_shared<PeakFilter>(*peak);
    }
    Utilities::error("Filter not found", "makeDeepCopy", __LINE__);
    return nullptr;
}
