#pragma once

// A scripted back end for tests. It plays the machine: devices, defaults, unplugging and injected
// failures. Periods never run by themselves: the test drives them synchronously with runPeriod on
// its own thread, so tests are deterministic.

#include "audio/BackEnd.hpp"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace audio {

struct VirtualDevice {
    std::string name;
    unsigned int inputChannels{};
    unsigned int outputChannels{};
    std::vector<unsigned int> sampleRates;
    unsigned int preferredSampleRate{};
};

class VirtualBackEnd;
class VirtualStreamHandle;

// One stream the back end opened. The engine holds a handle to it (the DeviceStream that open gave
// back); the test reaches it through VirtualBackEnd::streams(). Destroying the handle closes it.
class VirtualDeviceStream {
public:
    // Runs one period through the callback, as a back end's real-time thread would. The input holds
    // periodFrames x input channels samples (padded with silence if shorter); the output is resized
    // to periodFrames x output channels. Returns false, and runs nothing, when not running.
    bool runPeriod(const std::vector<float>& input, std::vector<float>& output, StreamStatus status = 0);
    // The same on buffers the caller sized (config().periodFrames frames each; null for a direction
    // the stream does not use). Allocates nothing.
    bool runPeriod(float* input, float* output, StreamStatus status = 0);

    // As opened, with the period length the back end settled on.
    const StreamConfig& config() const { return config_; }
    void* userData() const { return userData_; }
    bool isRunning() const { return running_; }
    bool isOpen() const { return open_; }

private:
    friend class VirtualBackEnd;
    friend class VirtualStreamHandle;

    VirtualDeviceStream(const StreamConfig& config, PeriodCallback callback, void* userData, StreamReports reports);

    bool uses(DeviceId id) const;
    // Ends running and waits out a period under way on another thread.
    void halt();
    void close();
    // Tells the owner once that a device went away; never after close.
    void reportLost(const Result& report);

    StreamConfig config_;
    PeriodCallback callback_;
    void* userData_;
    std::atomic<bool> open_{true};
    std::atomic<bool> running_{false};
    std::atomic<int> periodsUnderWay_{0};
    double streamTime_{0.0};
    // Recursive: a report may close its own stream.
    std::recursive_mutex reportsMutex_;
    StreamReports reports_;
    bool lostReported_{false};
};

class VirtualBackEnd : public BackEnd, public std::enable_shared_from_this<VirtualBackEnd> {
public:
    enum class Operation { Open, Start, Stop };

    static std::shared_ptr<VirtualBackEnd> create();

    std::string name() const override { return "virtual"; }
    std::vector<Device> devices() override;
    void setDevicesChangedListener(std::function<void()> listener) override;
    Opened open(const StreamConfig& config, PeriodCallback callback, void* userData, StreamReports reports) override;

    // Adds a device and returns its id (129, 130, ... in order of addition). The listener is called.
    DeviceId addDevice(const VirtualDevice& device);
    void setDefaultInput(DeviceId id);
    void setDefaultOutput(DeviceId id);

    // Takes a device away: every open stream using it gets one Fault::DeviceLost report, then the
    // listener is called. plugIn brings it back under the same id and calls the listener.
    void unplug(DeviceId id);
    void plugIn(DeviceId id);

    // The next `count` calls of the operation fail with the fault.
    void failNext(Operation operation, Fault fault, int count = 1);
    // The period length open settles on instead of the requested one (0: the requested).
    void settleBufferFramesAt(unsigned int frames);

    // Every open stream, in order of opening.
    std::vector<std::shared_ptr<VirtualDeviceStream>> streams() const;
    // The open streams on that input and output device (kNoDevice for a direction not used).
    std::vector<std::shared_ptr<VirtualDeviceStream>> openStreamsOn(DeviceId inputId, DeviceId outputId) const;

private:
    friend class VirtualStreamHandle;
    struct Slot {
        VirtualDevice device;
        bool present{true};
    };

    VirtualBackEnd() = default;
    Result takeFailure(Operation operation);
    Result checkDirection(const StreamParameters& parameters, bool isInput, unsigned int sampleRate) const;
    void close(const std::shared_ptr<VirtualDeviceStream>& stream);
    void notifyDevicesChanged();

    mutable std::mutex mutex_;
    std::map<DeviceId, Slot> devices_;
    DeviceId nextId_{129};
    DeviceId defaultInput_{kNoDevice};
    DeviceId defaultOutput_{kNoDevice};
    std::map<Operation, std::pair<Fault, int>> failures_;
    unsigned int settledFrames_{0};
    std::function<void()> listener_;
    std::vector<std::shared_ptr<VirtualDeviceStream>> streams_;
};

} // namespace audio
