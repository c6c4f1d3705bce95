#pragma once

// The engine's view of the audio library. The engine is written against this interface only; the
// implementation over the installed library (SystemRtAudio) and the scripted one used by the tests
// (VirtualAudio, in the tests' support) are the two providers. Nothing outside src/audio includes the library's header.

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace audio {

// Error kinds, numbered as the engine reports them (0 to 11).
enum RtAudioErrorType {
    RTAUDIO_NO_ERROR = 0,
    RTAUDIO_WARNING = 1,
    RTAUDIO_UNKNOWN_ERROR = 2,
    RTAUDIO_NO_DEVICES_FOUND = 3,
    RTAUDIO_INVALID_DEVICE = 4,
    RTAUDIO_DEVICE_DISCONNECT = 5,
    RTAUDIO_MEMORY_ERROR = 6,
    RTAUDIO_INVALID_PARAMETER = 7,
    RTAUDIO_INVALID_USE = 8,
    RTAUDIO_DRIVER_ERROR = 9,
    RTAUDIO_SYSTEM_ERROR = 10,
    RTAUDIO_THREAD_ERROR = 11,
};

using RtAudioFormat = unsigned long;
inline constexpr RtAudioFormat RTAUDIO_FLOAT32 = 0x10;

// StreamOptions::flags: buffer as little as the back end can play without gaps.
inline constexpr unsigned int RTAUDIO_MINIMIZE_LATENCY = 0x2;

using RtAudioStreamStatus = unsigned int;
inline constexpr RtAudioStreamStatus RTAUDIO_INPUT_OVERFLOW = 0x1;
inline constexpr RtAudioStreamStatus RTAUDIO_OUTPUT_UNDERFLOW = 0x2;

// Called once per period on the stream's audio thread; returns 0 to keep running.
using RtAudioCallback = int (*)(void* outputBuffer, void* inputBuffer, unsigned int nFrames,
                                double streamTime, RtAudioStreamStatus status, void* userData);

// Receives every failure of an instance with the library's message. Never called from inside the
// audio callback.
using RtAudioErrorCallback = std::function<void(RtAudioErrorType type, const std::string& errorText)>;

class RtAudio {
public:
    struct DeviceInfo {
        unsigned int ID{};
        std::string name;
        unsigned int outputChannels{};
        unsigned int inputChannels{};
        unsigned int duplexChannels{};
        bool isDefaultOutput{false};
        bool isDefaultInput{false};
        std::vector<unsigned int> sampleRates;
        unsigned int currentSampleRate{};
        unsigned int preferredSampleRate{};
        RtAudioFormat nativeFormats{};
    };

    struct StreamParameters {
        unsigned int deviceId{};
        unsigned int nChannels{};
        unsigned int firstChannel{};
    };

    struct StreamOptions {
        unsigned int flags{};
        unsigned int numberOfBuffers{};
        std::string streamName;
        int priority{};
    };

    virtual ~RtAudio() = default;

    // Device ids are stable for the life of the process and shared by every instance; 0 is never
    // an id, so it means "no device" (what the default getters answer when there is none).
    virtual std::vector<unsigned int> getDeviceIds() = 0;
    // An unknown id gives a DeviceInfo with ID 0, no name, no channels and no rates.
    virtual DeviceInfo getDeviceInfo(unsigned int deviceId) = 0;
    virtual unsigned int getDefaultInputDevice() = 0;
    virtual unsigned int getDefaultOutputDevice() = 0;

    // Failures come back as codes and their text goes to the error callback; nothing throws.
    virtual RtAudioErrorType openStream(StreamParameters* outputParameters, StreamParameters* inputParameters,
                                        RtAudioFormat format, unsigned int sampleRate,
                                        unsigned int* bufferFrames, RtAudioCallback callback,
                                        void* userData = nullptr, StreamOptions* options = nullptr) = 0;
    virtual void closeStream() = 0;
    virtual RtAudioErrorType startStream() = 0;
    // A stream that is not running answers RTAUDIO_WARNING.
    virtual RtAudioErrorType stopStream() = 0;
    virtual bool isStreamOpen() const = 0;
    virtual bool isStreamRunning() const = 0;
};

// Makes a new instance that reports to the given callback (which may be empty). Returns null when
// no instance can be made. The engine takes one of these, so tests can substitute virtual devices.
using RtAudioFactory = std::function<std::shared_ptr<RtAudio>(RtAudioErrorCallback errorCallback)>;

// Called, on a library thread, when the sound server announces new devices or answers again after
// it was lost. Empty to stop. Back ends without device events never call it.
void setDevicesChangedListener(std::function<void()> listener);

#if VANTRELL_BACKEND_RTAUDIO
// Instances over the installed audio library, all on the one back end chosen for the process.
RtAudioFactory systemRtAudioFactory();
#endif

} // namespace audio
