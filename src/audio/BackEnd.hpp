#pragma once

// The audio layer's interface: a back end lists devices, says when they change, and opens device
// streams; a device stream runs one period callback on the back end's real-time thread. The engine
// owns one back end (see BackEndChoice); the tests bring a virtual one. Nothing here includes an
// audio library's header, and nothing in src/audio includes the engine.

#include "audio/Result.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace audio {

// Stable for the life of the process and never given to another device; 0 means "no device".
using DeviceId = unsigned int;
inline constexpr DeviceId kNoDevice = 0;

struct Device {
    DeviceId id{kNoDevice};
    std::string name; // what the user reads: the server's description of the device
    unsigned int inputChannels{0};
    unsigned int outputChannels{0};
    bool isDefaultInput{false};
    bool isDefaultOutput{false};
    std::vector<unsigned int> sampleRates; // ascending
    unsigned int preferredSampleRate{0};
};

// One direction of a stream: which device, how many channels from which first one. No channels:
// the stream does not use that direction.
struct StreamParameters {
    DeviceId deviceId{kNoDevice};
    unsigned int nChannels{0};
    unsigned int firstChannel{0};
};

// StreamOptions::flags: buffer as little as the back end can play without gaps.
inline constexpr unsigned int kMinimizeLatency = 0x2;

struct StreamOptions {
    unsigned int flags{0};
    unsigned int numberOfBuffers{0}; // periods buffered ahead; 0: the back end's choice
    std::string streamName;          // how the server's mixer and graph tools name the stream
    int priority{0};
};

// Samples are 32-bit float, interleaved.
struct StreamConfig {
    StreamParameters input;
    StreamParameters output;
    unsigned int sampleRate{0};
    unsigned int periodFrames{0};
    StreamOptions options;
};

// Status bits of a period.
using StreamStatus = unsigned int;
inline constexpr StreamStatus kInputOverflow = 0x1;
inline constexpr StreamStatus kOutputUnderflow = 0x2;

// Called once per period on the back end's real-time thread with `frames` frames of interleaved
// input (null when the stream has no input) and room for as many of output; returns 0 to keep
// running. It must not block, allocate or call the system.
using PeriodCallback = int (*)(void* output, void* input, unsigned int frames, double streamTime, StreamStatus status,
                               void* userData);

// What happens to an open stream later: a device it uses went away (Fault::DeviceLost), the server
// ended it (Fault::Driver), a back end's warning. Never called on the real-time thread, nor while a
// call of the stream's owner is under way on another thread's stack of the back end.
using StreamReports = std::function<void(const Result& report)>;

// An open stream. Destroying it closes it: no period runs once the destructor returns.
class DeviceStream {
public:
    virtual ~DeviceStream() = default;
    virtual Result start() = 0;
    // Fault::Warning when it was not running.
    virtual Result stop() = 0;
    virtual bool isRunning() const = 0;
    // The period length the back end settled on (may differ from the one asked for).
    virtual unsigned int periodFrames() const = 0;
};

class BackEnd {
public:
    virtual ~BackEnd() = default;

    // "pulse", "rtaudio", "virtual", ...
    virtual std::string name() const = 0;

    // The devices present now, in a stable order. Never waits on a server.
    virtual std::vector<Device> devices() = 0;
    // The device with that id if it is present.
    virtual std::optional<Device> device(DeviceId id);
    // kNoDevice when there is none.
    virtual DeviceId defaultInput();
    virtual DeviceId defaultOutput();

    // Called on a back end's thread when devices come or go, or the server answers again after it
    // was lost; empty to stop. Back ends without device events never call it.
    virtual void setDevicesChangedListener(std::function<void()> listener) = 0;

    struct Opened {
        std::unique_ptr<DeviceStream> stream; // null on failure
        Result result;
    };
    // Opens (does not start) a stream. `reports` outlives nothing: the stream drops it when closed.
    virtual Opened open(const StreamConfig& config, PeriodCallback callback, void* userData, StreamReports reports) = 0;
};

} // namespace audio
