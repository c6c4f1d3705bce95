#pragma once

#include "effects/EqualizerControl.hpp"

#include <memory>

class Core;
class Stream;

// A stream's parametric equalizer as a five-band equalizer drives it: through the engine's
// group-aware equalizer operations. The stream holds the effect that holds this, so this holds the
// stream weakly: a removed stream goes at once, and a change afterwards reaches nothing.
class StreamEqualizerControl : public EqualizerControl {
public:
    StreamEqualizerControl(Core* core, std::weak_ptr<Stream> stream) : core(core), stream(std::move(stream)) {}

    void addPeakFilters(int count) override;
    void setFilterParameter(unsigned int filterId, const std::string& parameter, float value) override;

private:
    Core* core;
    std::weak_ptr<Stream> stream;
};
