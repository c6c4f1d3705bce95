#pragma once

// audio::RtAudio over the installed RtAudio 5.2. The library works with device indices that shift
// whenever the server's device list changes, throws instead of returning codes, takes its error
// callback as a plain function pointer and has no notion of a device going away; this class turns
// all of that into the interface the engine is written against. Make instances through
// systemRtAudioFactory(); the class is exposed only so the layer can be read in one place.

#include "audio/RtAudio.hpp"

#include <memory>

class RtAudio; // the library's class; its header stays inside SystemRtAudio.cpp

namespace audio {

namespace detail {
struct InstanceState;
struct OpenStreamRecord;
} // namespace detail

class SystemRtAudio final : public RtAudio {
public:
    // Throws when the library cannot make an instance; the factory turns that into null.
    explicit SystemRtAudio(RtAudioErrorCallback errorCallback);
    ~SystemRtAudio() override;

    SystemRtAudio(const SystemRtAudio&) = delete;
    SystemRtAudio& operator=(const SystemRtAudio&) = delete;

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
    bool libraryStreamOpen() const;

    // Reached from the library's threads and the device worker, hence shared.
    std::shared_ptr<detail::InstanceState> state_;
    std::unique_ptr<::RtAudio> library_;
    // The stream being watched for disconnects; null while no stream is open.
    std::shared_ptr<detail::OpenStreamRecord> openStream_;
};

} // namespace audio
