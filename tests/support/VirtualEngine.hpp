#pragma once

#include "engine/Core.hpp"
#include "VirtualBackEnd.hpp"

#include "TempDir.hpp"

#include <memory>

namespace testsupport {

// A machine of scripted devices and an engine over it:
//   129 "Mic"      2 in          44100, 48000           default input
//   130 "Speakers"       2 out   44100, 48000, 96000    default output
//   131 "Headset"  1 in  2 out   48000
//   132 "Studio"   4 in  4 out   96000
// The log file goes to a temporary directory for the fixture's life.
class VirtualEngine {
public:
    VirtualEngine();
    ~VirtualEngine();

    // Builds the Core (its constructor probes the default input and fills the device lists).
    Core& makeCore();

    std::shared_ptr<audio::VirtualBackEnd> system = audio::VirtualBackEnd::create();
    unsigned int mic{}, speakers{}, headset{}, studio{};
    std::unique_ptr<Core> core;
    TempDir dir;

    // The device stream the given stream has open (null if none).
    audio::VirtualDeviceStream* audioOf(const Stream& stream) const;
    // Runs one period of the stream with the given interleaved input; returns the output.
    std::vector<float> runPeriod(const Stream& stream, const std::vector<float>& input, unsigned int status = 0);
};

} // namespace testsupport
