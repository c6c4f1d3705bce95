#pragma once

#include "ctl/Connection.hpp"

#include <string>
#include <vector>

// The engine's list replies, decoded. A list is its count then that many entries; an empty list
// may also come as a packet with no payload at all. A payload that does not hold exactly what its
// count announces throws Failure(kNoReply).
namespace Ctl {

struct DeviceEntry {
    int id{0};
    std::string name;
    int channels{0};
};

struct StreamEntry {
    int id{0};
    int inputDevice{0};
    int outputDevice{0};
    int sampleRate{0};
    int bufferFrames{0};
    std::string name;
    float volume{-1.0f}; // from the fader value that follows the list
};

struct EffectEntry {
    int streamId{0};
    std::string name;
    bool enabled{false};
};

struct ParameterEntry {
    int streamId{0};
    std::string effect;
    std::string name;
    float value{0}, min{0}, max{0};
};

struct FaderEntry {
    int streamId{0};
    float volume{0};
};

std::vector<DeviceEntry> decodeDevices(const Frame& frame);
std::vector<StreamEntry> decodeStreams(const Frame& frame);
std::vector<EffectEntry> decodeEffects(const Frame& frame);
std::vector<EffectEntry> decodeAddableEffects(const Frame& frame); // `enabled` is false
std::vector<ParameterEntry> decodeParameters(const Frame& frame);
std::vector<int> decodeRates(const Frame& frame);
FaderEntry decodeFader(const Frame& frame);
// The device id a disconnect notice names.
int decodeDisconnect(const Frame& frame);

} // namespace Ctl
