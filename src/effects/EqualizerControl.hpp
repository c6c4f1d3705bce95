#pragma once

#include <string>

// What a five-band equalizer needs of the stream it shapes: the peak filters of the stream's
// parametric equalizer, reached through the engine (which keeps linked streams in step). The engine
// hands one to the effect when it creates it; effects never see the engine itself.
class EqualizerControl {
public:
    virtual ~EqualizerControl() = default;
    // Gives the stream a parametric equalizer (unless it has one) and `count` more peak filters.
    virtual void addPeakFilters(int count) = 0;
    // A no-op once the stream is gone.
    virtual void setFilterParameter(unsigned int filterId, const std::string& parameter, float value) = 0;
};
