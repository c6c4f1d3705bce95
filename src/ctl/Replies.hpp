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

// How a request sent inside a Command ended: its id, done or not, and the engine's reason.
struct CommandOutcome {
    int id{0};
    bool done{false};
    std::string reason;
};

struct FaderEntry {
    int streamId{0};
    float volume{0};
};

// A stream as a panel shows it: the stream list's fields and what that list lacks.
struct StreamStateEntry {
    StreamEntry stream; // volume included
    bool running{false};
    int inputChannels{0}, outputChannels{0};
    int groupId{-1};
    std::vector<std::pair<int, int>> routes; // (input channel, output channel)
};

struct GroupEntry {
    int id{0};
    int red{0}, green{0}, blue{0};
    bool volumeLevel{false}, volumeRatio{false};
    std::vector<std::string> effects; // whose parameter changes every member shares
    std::vector<int> members;
};

std::vector<DeviceEntry> decodeDevices(const Frame& frame);
std::vector<StreamEntry> decodeStreams(const Frame& frame);
std::vector<EffectEntry> decodeEffects(const Frame& frame);
std::vector<EffectEntry> decodeAddableEffects(const Frame& frame); // `enabled` is false
std::vector<ParameterEntry> decodeParameters(const Frame& frame);
std::vector<int> decodeRates(const Frame& frame);
FaderEntry decodeFader(const Frame& frame);
CommandOutcome decodeCommandOutcome(const Frame& frame);
std::vector<StreamStateEntry> decodeStreamStates(const Frame& frame);
std::vector<GroupEntry> decodeGroups(const Frame& frame);
// The device id a disconnect notice names.
int decodeDisconnect(const Frame& frame);

} // namespace Ctl
