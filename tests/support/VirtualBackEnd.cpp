#include "VirtualBackEnd.hpp"

#include <algorithm>
#include <thread>

namespace audio {

namespace {

std::string named(const VirtualDevice& device, DeviceId id) {
    return "\"" + device.name + "\" (" + std::to_string(id) + ")";
}

const char* operationName(VirtualBackEnd::Operation operation) {
    switch (operation) {
    case VirtualBackEnd::Operation::Open: return "open";
    case VirtualBackEnd::Operation::Start: return "start";
    case VirtualBackEnd::Operation::Stop: return "stop";
    }
    return "call";
}

} // namespace

// What the engine owns: closing happens when it lets go, while the test may still hold the stream.
class VirtualStreamHandle final : public DeviceStream {
public:
    VirtualStreamHandle(std::shared_ptr<VirtualBackEnd> backEnd, std::shared_ptr<VirtualDeviceStream> stream)
        : backEnd_(std::move(backEnd)), stream_(std::move(stream)) {}
    ~VirtualStreamHandle() override { backEnd_->close(stream_); }

    Result start() override {
        if (stream_->running_) return Result::failure(Fault::Warning, "The stream is already running.");
        if (Result injected = backEnd_->takeFailure(VirtualBackEnd::Operation::Start); !injected) return injected;
        stream_->running_ = true;
        return {};
    }

    Result stop() override {
        if (!stream_->running_) return Result::failure(Fault::Warning, "The stream is not running.");
        if (Result injected = backEnd_->takeFailure(VirtualBackEnd::Operation::Stop); !injected) return injected;
        stream_->halt();
        return {};
    }

    bool isRunning() const override { return stream_->running_; }
    unsigned int periodFrames() const override { return stream_->config_.periodFrames; }

private:
    std::shared_ptr<VirtualBackEnd> backEnd_;
    std::shared_ptr<VirtualDeviceStream> stream_;
};

VirtualDeviceStream::VirtualDeviceStream(const StreamConfig& config, PeriodCallback callback, void* userData,
                                         StreamReports reports)
    : config_(config), callback_(callback), userData_(userData), reports_(std::move(reports)) {}

bool VirtualDeviceStream::runPeriod(const std::vector<float>& input, std::vector<float>& output,
                                    StreamStatus status) {
    if (!running_) return false;
    const std::size_t frames = config_.periodFrames;
    std::vector<float> paddedInput(input);
    paddedInput.resize(frames * config_.input.nChannels, 0.0f);
    output.assign(frames * config_.output.nChannels, 0.0f);
    return runPeriod(paddedInput.empty() ? nullptr : paddedInput.data(), output.empty() ? nullptr : output.data(),
                     status);
}

bool VirtualDeviceStream::runPeriod(float* input, float* output, StreamStatus status) {
    // Counted before running_ is read, so halt() either stops this period or waits for it.
    ++periodsUnderWay_;
    bool ran = false;
    if (running_) {
        // A callback that returns nonzero stops the stream, as a real back end would.
        if (callback_(output, input, config_.periodFrames, streamTime_, status, userData_) != 0) running_ = false;
        streamTime_ += static_cast<double>(config_.periodFrames) / config_.sampleRate;
        ran = true;
    }
    --periodsUnderWay_;
    return ran;
}

bool VirtualDeviceStream::uses(DeviceId id) const {
    return (config_.input.nChannels > 0 && config_.input.deviceId == id) ||
           (config_.output.nChannels > 0 && config_.output.deviceId == id);
}

void VirtualDeviceStream::halt() {
    running_ = false;
    while (periodsUnderWay_ > 0) std::this_thread::yield();
}

void VirtualDeviceStream::close() {
    halt();
    std::lock_guard<std::recursive_mutex> guard(reportsMutex_);
    open_ = false;
    reports_ = nullptr;
}

void VirtualDeviceStream::reportLost(const Result& report) {
    std::lock_guard<std::recursive_mutex> guard(reportsMutex_);
    if (!open_ || lostReported_) return;
    lostReported_ = true;
    // A copy: the report may close the stream, which drops reports_.
    if (StreamReports reports = reports_) reports(report);
}

std::shared_ptr<VirtualBackEnd> VirtualBackEnd::create() {
    return std::shared_ptr<VirtualBackEnd>(new VirtualBackEnd());
}

std::vector<Device> VirtualBackEnd::devices() {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<Device> present;
    for (const auto& [id, slot] : devices_) {
        if (!slot.present) continue;
        const VirtualDevice& device = slot.device;
        present.push_back(Device{id, device.name, device.inputChannels, device.outputChannels, id == defaultInput_,
                                 id == defaultOutput_, device.sampleRates, device.preferredSampleRate});
    }
    return present;
}

void VirtualBackEnd::setDevicesChangedListener(std::function<void()> listener) {
    std::lock_guard<std::mutex> guard(mutex_);
    listener_ = std::move(listener);
}

BackEnd::Opened VirtualBackEnd::open(const StreamConfig& config, PeriodCallback callback, void* userData,
                                     StreamReports reports) {
    auto refuse = [](Fault fault, std::string reason) {
        return Opened{nullptr, Result::failure(fault, std::move(reason))};
    };
    if (Result injected = takeFailure(Operation::Open); !injected) return {nullptr, std::move(injected)};
    if (!callback) return refuse(Fault::InvalidParameter, "A stream needs a period callback.");
    if (config.periodFrames == 0) return refuse(Fault::InvalidParameter, "A period of 0 frames cannot run.");
    if (config.input.nChannels == 0 && config.output.nChannels == 0)
        return refuse(Fault::InvalidParameter, "A stream needs input or output channels.");

    std::shared_ptr<VirtualDeviceStream> stream;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (Result checked = checkDirection(config.output, false, config.sampleRate); !checked)
            return {nullptr, std::move(checked)};
        if (Result checked = checkDirection(config.input, true, config.sampleRate); !checked)
            return {nullptr, std::move(checked)};
        stream.reset(new VirtualDeviceStream(config, callback, userData, std::move(reports)));
        if (settledFrames_ != 0) stream->config_.periodFrames = settledFrames_;
        streams_.push_back(stream);
    }
    return {std::make_unique<VirtualStreamHandle>(shared_from_this(), std::move(stream)), {}};
}

// Checks one direction the way a server would: the device is present, has the channels and the rate.
Result VirtualBackEnd::checkDirection(const StreamParameters& parameters, bool isInput, unsigned int sampleRate) const {
    if (parameters.nChannels == 0) return {};
    const char* direction = isInput ? "input" : "output";
    auto it = devices_.find(parameters.deviceId);
    if (parameters.deviceId == kNoDevice)
        return Result::failure(Fault::InvalidDevice, std::string("The ") + direction + " has channels but no device.");
    if (it == devices_.end() || !it->second.present)
        return Result::failure(Fault::InvalidDevice, "There is no device " + std::to_string(parameters.deviceId) +
                                                         " for the " + direction + ".");
    const VirtualDevice& device = it->second.device;
    const unsigned int available = isInput ? device.inputChannels : device.outputChannels;
    const std::string who = named(device, parameters.deviceId);
    if (available == 0) return Result::failure(Fault::InvalidDevice, who + " has no " + direction + " channels.");
    if (parameters.firstChannel + parameters.nChannels > available)
        return Result::failure(Fault::InvalidParameter,
                               who + " has " + std::to_string(available) + " " + direction +
                                   (available == 1 ? " channel; " : " channels; ") +
                                   std::to_string(parameters.nChannels) + " from channel " +
                                   std::to_string(parameters.firstChannel) + " do not fit.");
    if (std::find(device.sampleRates.begin(), device.sampleRates.end(), sampleRate) == device.sampleRates.end())
        return Result::failure(Fault::InvalidParameter,
                               who + " does not run at " + std::to_string(sampleRate) + " Hz.");
    return {};
}

void VirtualBackEnd::close(const std::shared_ptr<VirtualDeviceStream>& stream) {
    stream->close();
    std::lock_guard<std::mutex> guard(mutex_);
    std::erase(streams_, stream);
}

DeviceId VirtualBackEnd::addDevice(const VirtualDevice& device) {
    DeviceId id;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        id = nextId_++;
        Slot& slot = devices_[id] = Slot{device, true};
        std::sort(slot.device.sampleRates.begin(), slot.device.sampleRates.end());
    }
    notifyDevicesChanged();
    return id;
}

void VirtualBackEnd::setDefaultInput(DeviceId id) {
    std::lock_guard<std::mutex> guard(mutex_);
    defaultInput_ = id;
}

void VirtualBackEnd::setDefaultOutput(DeviceId id) {
    std::lock_guard<std::mutex> guard(mutex_);
    defaultOutput_ = id;
}

void VirtualBackEnd::unplug(DeviceId id) {
    std::string reason;
    std::vector<std::shared_ptr<VirtualDeviceStream>> affected;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = devices_.find(id);
        if (it == devices_.end() || !it->second.present) return;
        it->second.present = false;
        reason = "The device " + named(it->second.device, id) + " went away.";
        for (const auto& stream : streams_)
            if (stream->uses(id)) affected.push_back(stream);
    }
    // Reports and the listener run without the lock: they may call back into the back end.
    const Result report = Result::failure(Fault::DeviceLost, reason);
    // As a server's stream, it stops with its device.
    for (const auto& stream : affected) {
        stream->halt();
        stream->reportLost(report);
    }
    notifyDevicesChanged();
}

void VirtualBackEnd::plugIn(DeviceId id) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto it = devices_.find(id);
        if (it == devices_.end() || it->second.present) return;
        it->second.present = true;
    }
    notifyDevicesChanged();
}

void VirtualBackEnd::failNext(Operation operation, Fault fault, int count) {
    std::lock_guard<std::mutex> guard(mutex_);
    failures_[operation] = {fault, count};
}

void VirtualBackEnd::settleBufferFramesAt(unsigned int frames) {
    std::lock_guard<std::mutex> guard(mutex_);
    settledFrames_ = frames;
}

std::vector<std::shared_ptr<VirtualDeviceStream>> VirtualBackEnd::streams() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return streams_;
}

std::vector<std::shared_ptr<VirtualDeviceStream>> VirtualBackEnd::openStreamsOn(DeviceId inputId,
                                                                                DeviceId outputId) const {
    auto open = streams();
    std::erase_if(open, [&](const auto& stream) {
        const StreamConfig& config = stream->config();
        const DeviceId input = config.input.nChannels > 0 ? config.input.deviceId : kNoDevice;
        const DeviceId output = config.output.nChannels > 0 ? config.output.deviceId : kNoDevice;
        return input != inputId || output != outputId;
    });
    return open;
}

Result VirtualBackEnd::takeFailure(Operation operation) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = failures_.find(operation);
    if (it == failures_.end() || it->second.second <= 0) return {};
    --it->second.second;
    return Result::failure(it->second.first,
                           std::string("The virtual back end was told to fail this ") + operationName(operation) + ".");
}

void VirtualBackEnd::notifyDevicesChanged() {
    std::function<void()> listener;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        listener = listener_;
    }
    if (listener) listener();
}

} // namespace audio
