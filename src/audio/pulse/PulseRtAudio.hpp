#pragma once

// audio::RtAudio on the engine's own sound-server back end (PulseAudio's asynchronous API, served
// by PulseAudio or by PipeWire's PulseAudio server). Every instance shares the one connection;
// nothing here waits for the server, so a server that dies or stalls never holds the caller.
// Make instances through pulseRtAudioFactory().

#include "audio/RtAudio.hpp"

#include <atomic>
#include <memory>

namespace audio {

namespace detail {
class PulseStream;
struct PulseInstanceShared;
} // namespace detail

class PulseRtAudio final : public RtAudio {
public:
    explicit PulseRtAudio(RtAudioErrorCallback errorCallback);
    ~PulseRtAudio() override;

    PulseRtAudio(const PulseRtAudio&) = delete;
    PulseRtAudio& operator=(const PulseRtAudio&) = delete;

    std::vector<unsigned int> getDeviceIds() override;
    DeviceInfo getDeviceInfo(unsigned int deviceId) override;
    unsigned int getDefaultInputDevice() override;
    unsigned int getDefaultOutputDevice() override;

    RtAudioErrorType openStream(StreamParameters* outputParameters, StreamParameters* inputParameters,
                                RtAudioFormat format, unsigned int sampleRate, unsigned int* bufferFrames,
                                RtAudioCallback callback, void* userData = nullptr,
                                StreamOptions* options = nullptr) override;
    void closeStream() override;
    RtAudioErrorType startStream() override;
    RtAudioErrorType stopStream() override;
    bool isStreamOpen() const override;
    bool isStreamRunning() const override;

private:
    RtAudioErrorType fail(RtAudioErrorType type, const std::string& text) const;

    // Reached from report closures that may outlive the instance.
    std::shared_ptr<detail::PulseInstanceShared> shared_;
    std::unique_ptr<detail::PulseStream> stream_;
};

// Connects to the sound server (once per process; waits up to 2 s for its first answer) and makes
// instances on it. Instances made while the server is away list no devices until it answers.
RtAudioFactory pulseRtAudioFactory();

} // namespace audio
