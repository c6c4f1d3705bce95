#include "engine/StreamEqualizerControl.hpp"

#include "engine/Core.hpp"

void StreamEqualizerControl::addPeakFilters(int count) {
    auto target = stream.lock();
    if (!target) return;
    // A stream that already has a parametric equalizer keeps it (and logs so).
    target->addEffect("EQEffect");
    if (!core) return;
    for (int filter = 0; filter < count; ++filter) core->addEQFilterToStream(target->getStreamId(), "PeakFilter");
}

void StreamEqualizerControl::setFilterParameter(unsigned int filterId, const std::string& parameter, float value) {
    auto target = stream.lock();
    if (target && core) core->setEQFilterParameter(target->getStreamId(), filterId, parameter, value);
}
