#pragma once

// Scripted audio devices for tests. One VirtualAudioSystem plays the machine: its devices, defaults
// and injected failures are shared by every instance its factory makes. Periods never run by
// themselves: the test drives them synchronously with runPeriod, so tests are deterministic.

#include "audio/RtAudio.hpp"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace audio {

class VirtualRtAudio;

class VirtualAudioSystem : public std::enable_shared_from_this<VirtualAudioSystem> {
public:
    struct Device {
        std::string name;
        unsigned int inputChannels{};
        unsigned int outputChannels{};
        std::vector<unsigned int> sampleRates;
        unsigned int preferredSampleRate{};
    };

    enum class Operation { Open, Start, Stop };

    static std::shared_ptr<VirtualAudioSystem> create();

    // Adds a device and returns its id (129, 130, ... in order of addition).
    unsigned int addDevice(const Device& device);
    void setDefaultInput(unsigned int deviceId);
    void setDefaultOutput(unsigned int deviceId);

    // Removes a device from the machine: every instance with an open stream on it is told once,
    // through its error callback, with the device-disconnect kind. plugIn brings it back (same id).
    void unplug(unsigned int deviceId);
    void plugIn(unsigned int deviceId);

    // The next `count` calls of the operation fail with the given kind.
    void failNext(Operation operation, RtAudioErrorType type, int count = 1);
    // While set, the factory makes no instance (it returns null).
    void failInstanceCreation(bool fail);
    // Frame count the "driver" settles on at open instead of the requested one (0: the requested).
    void settleBufferFramesAt(unsigned int frames);

    RtAudioFactory factory();

    // Every instance ever made and still alive, in order of creation.
    std::vector<std::shared_ptr<VirtualRtAudio>> instances() const;
    // The live instances whose stream is open with the given input and output devices.
    std::vector<std::shared_ptr<VirtualRtAudio>> openInstancesOn(unsigned int inputDeviceId,
                                                                 unsigned int outputDeviceId) const;

private:
    friend class VirtualRtAudio;
    struct Slot {
        Device device;
        bool present{true};
    };

    bool takeFailure(Operation operation, RtAudioErrorType& type);
    std::vector<std::shared_ptr<VirtualRtAudio>> liveInstances() const;

    mutable std::mutex mutex_;
    std::map<unsigned int, Slot> devices_;
    unsigned int nextId_{129};
    unsigned int defaultInput_{0};
    unsigned int defaultOutput_{0};
    std::map<Operation, std::pair<RtAudioErrorType, int>> failures_;
    bool failCreation_{false};
    unsigned int settledFrames_{0};
    std::vector<std::weak_ptr<VirtualRtAudio>> instances_;
};

class VirtualRtAudio : public RtAudio {
public:
    VirtualRtAudio(std::shared_ptr<VirtualAudioSystem> system, RtAudioErrorCallback errorCallback);

    std::vector<unsigned int> getDeviceIds() override;
    DeviceInfo getDeviceInfo(unsigned int deviceId) override;
    unsigned int getDefaultInputDevice() override;
    unsigned int getDefaultOutputDevice() override;
    RtAudioErrorType openStream(StreamParameters* outputParameters, StreamParameters* inputParameters,
                                RtAudioFormat format, unsigned int sampleRate, unsigned int* bufferFrames,
                                RtAudioCallback callback, void* userData, StreamOptions* options) override;
    void closeStream() override;
    RtAudioErrorType startStream() override;
    RtAudioErrorType stopStream() override;
    bool isStreamOpen() const override;
    bool isStreamRunning() const override;

    // Runs one period through the stream's callback, as the library's audio thread would. The input
    // holds frames x input channels samples; the output is resized to frames x output channels.
    // Returns false (and runs nothing) when the stream is not running.
    bool runPeriod(const std::vector<float>& input, std::vector<float>& output,
                   RtAudioStreamStatus status = 0);
    // The same on buffers the caller sized (openedBufferFrames() frames each); allocates nothing.
    bool runPeriod(float* input, float* output, RtAudioStreamStatus status = 0);

    // What the stream was opened with.
    unsigned int openedSampleRate() const { return sampleRate_; }
    unsigned int openedBufferFrames() const { return bufferFrames_; }
    StreamParameters openedInput() const { return input_; }
    StreamParameters openedOutput() const { return output_; }
    StreamOptions openedOptions() const { return options_; }
    RtAudioFormat openedFormat() const { return format_; }
    void* userData() const { return userData_; }

private:
    friend class VirtualAudioSystem;
    RtAudioErrorType fail(RtAudioErrorType type, const std::string& text);
    void reportDisconnect(unsigned int deviceId, const std::string& name);

    std::shared_ptr<VirtualAudioSystem> system_;
    RtAudioErrorCallback errorCallback_;
    bool open_{false};
    std::atomic<bool> running_{false};
    bool disconnectReported_{false};
    unsigned int sampleRate_{0};
    unsigned int bufferFrames_{0};
    RtAudioFormat format_{0};
    StreamParameters input_{};
    StreamParameters output_{};
    StreamOptions options_{};
    RtAudioCallback callback_{nullptr};
    void* userData_{nullptr};
    double streamTime_{0.0};
};

} // namespace audio
