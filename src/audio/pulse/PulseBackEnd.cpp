#include "audio/pulse/PulseBackEnd.hpp"

#include "audio/DeferredReports.hpp"
#include "audio/DevicesChanged.hpp"
#include "audio/DeviceLost.hpp"
#include "audio/ReportGate.hpp"
#include "audio/pulse/PulseConnection.hpp"
#include "audio/pulse/PulseStream.hpp"

#include <algorithm>
#include <chrono>

namespace audio {

namespace detail {

namespace {

constexpr unsigned int kMaxRate = 384000;

struct UsedDevice {
    std::string serverName;
    std::string name;
};

// On the connection's thread, when the server ended a running stream: once a fresh device list is
// in, a device missing from it is reported as lost (the engine reopens the stream when it returns);
// anything else is the server refusing the stream, reported as such and left halted.
PulseStream::FailureHandler failureReporter(std::weak_ptr<ReportGate> weakGate, std::vector<UsedDevice> used) {
    return [weakGate, used](const std::string& why) {
        pulseConnection().afterFreshListing([weakGate, used, why] {
            const auto present = pulseConnection().devices();
            std::vector<std::string> missing;
            for (const UsedDevice& device : used)
                if (std::none_of(present->begin(), present->end(),
                                 [&](const PulseDevice& p) { return p.serverName == device.serverName; }))
                    missing.push_back(device.name);
            Result report = missing.empty()
                                ? Result::failure(Fault::Driver, "The sound server ended the stream: " + why + ".")
                                : deviceLost(missing);
            // Never from the connection's thread: the owner may be waiting for it.
            deferredReports().deliver(weakGate, std::move(report));
        });
    };
}

class PulseDeviceStream final : public DeviceStream {
public:
    PulseDeviceStream(PulseStreamFormat format, PeriodCallback callback, void* userData, StreamReports reports,
                      std::vector<UsedDevice> used)
        : gate_(std::make_shared<ReportGate>(std::move(reports))),
          stream_(std::move(format), callback, userData, failureReporter(gate_, std::move(used))) {}

    ~PulseDeviceStream() override {
        gate_->close();
        auto& connection = pulseConnection();
        connection.lock();
        stream_.stop();
        connection.unlock();
    }

    Result start() override {
        if (stream_.running()) return Result::failure(Fault::Warning, "the stream is already running.");
        auto& connection = pulseConnection();
        std::string whyNot;
        connection.lock();
        pa_context* context = connection.readyContext();
        const bool started = context && stream_.start(context, whyNot);
        connection.unlock();
        if (!context) return Result::failure(Fault::System, "the sound server is not answering.");
        if (!started) return Result::failure(Fault::Driver, whyNot + ".");
        return {};
    }

    Result stop() override {
        if (!stream_.running()) return Result::failure(Fault::Warning, "the stream is not running.");
        auto& connection = pulseConnection();
        connection.lock();
        stream_.stop();
        connection.unlock();
        return {};
    }

    bool isRunning() const override { return stream_.running(); }
    unsigned int periodFrames() const override { return stream_.format().periodFrames; }

private:
    // Before the stream: its failure handler holds a weak reference to it.
    std::shared_ptr<ReportGate> gate_;
    PulseStream stream_;
};

} // namespace

} // namespace detail

using namespace detail;

std::vector<Device> PulseBackEnd::devices() {
    // The list held here: the connection's thread may replace it meanwhile.
    const auto listed = pulseConnection().devices();
    std::vector<Device> result;
    result.reserve(listed->size());
    for (const PulseDevice& device : *listed) result.push_back(device.info);
    return result;
}

std::optional<Device> PulseBackEnd::device(DeviceId id) {
    const auto listed = pulseConnection().devices();
    if (const PulseDevice* device = findDevice(*listed, id)) return device->info;
    return std::nullopt;
}

DeviceId PulseBackEnd::defaultInput() {
    const auto listed = pulseConnection().devices();
    for (const PulseDevice& device : *listed)
        if (device.info.isDefaultInput) return device.info.id;
    return kNoDevice;
}

DeviceId PulseBackEnd::defaultOutput() {
    const auto listed = pulseConnection().devices();
    for (const PulseDevice& device : *listed)
        if (device.info.isDefaultOutput) return device.info.id;
    return kNoDevice;
}

void PulseBackEnd::setDevicesChangedListener(std::function<void()> listener) {
    detail::setDevicesChangedListener(std::move(listener));
}

std::string PulseBackEnd::realtimeRefusal() { return pulseConnection().realtimeRefusal(); }

BackEnd::Opened PulseBackEnd::open(const StreamConfig& config, PeriodCallback callback, void* userData,
                                   StreamReports reports) {
    auto refuse = [](Fault fault, std::string reason) { return Opened{nullptr, Result::failure(fault, std::move(reason))}; };
    if (!callback) return refuse(Fault::InvalidParameter, "no callback given.");
    const unsigned int rate = config.sampleRate;
    if (rate == 0 || rate > kMaxRate)
        return refuse(Fault::InvalidParameter, "the server cannot run a stream at " + std::to_string(rate) + " Hz.");
    if (config.periodFrames == 0) return refuse(Fault::InvalidParameter, "a period of 0 frames.");
    const bool wantOutput = config.output.nChannels > 0;
    const bool wantInput = config.input.nChannels > 0;
    if (!wantOutput && !wantInput) return refuse(Fault::InvalidParameter, "no channels in either direction.");

    const auto listed = pulseConnection().devices();
    PulseStreamFormat format;
    std::vector<UsedDevice> used;
    std::string routeNames[2];
    auto resolve = [&](const StreamParameters& parameters, bool output) -> Result {
        const char* direction = output ? "output" : "input";
        const PulseDevice* device = findDevice(*listed, parameters.deviceId);
        if (!device || device->isSink != output)
            return Result::failure(Fault::InvalidDevice, std::string("the ") + direction + " device id " +
                                                             std::to_string(parameters.deviceId) + " is not present.");
        const unsigned int available = output ? device->info.outputChannels : device->info.inputChannels;
        const unsigned long long wanted = static_cast<unsigned long long>(parameters.nChannels) + parameters.firstChannel;
        if (wanted > available || parameters.nChannels > PA_CHANNELS_MAX)
            return Result::failure(Fault::InvalidParameter, std::string("the ") + direction + " device has " +
                                                                std::to_string(available) + " channels, not " +
                                                                std::to_string(wanted) + ".");
        // The device's own layout when the stream takes all of it; otherwise the server maps.
        pa_channel_map map = device->channelMap;
        if (parameters.nChannels != available || parameters.firstChannel != 0)
            pa_channel_map_init_extend(&map, parameters.nChannels, PA_CHANNEL_MAP_DEFAULT);
        (output ? format.sinkName : format.sourceName) = device->serverName;
        (output ? format.sinkLabel : format.sourceLabel) = device->info.name;
        (output ? format.outputMap : format.inputMap) = map;
        (output ? format.outputChannels : format.inputChannels) = parameters.nChannels;
        routeNames[output ? 1 : 0] = device->info.name;
        used.push_back({device->serverName, device->info.name});
        return {};
    };
    if (wantInput)
        if (Result resolved = resolve(config.input, false); !resolved) return Opened{nullptr, std::move(resolved)};
    if (wantOutput)
        if (Result resolved = resolve(config.output, true); !resolved) return Opened{nullptr, std::move(resolved)};

    const StreamOptions& options = config.options;
    format.rate = rate;
    format.periodFrames = config.periodFrames;
    format.periodsAhead = options.numberOfBuffers != 0 ? std::clamp(options.numberOfBuffers, 2u, 16u)
                                                       : ((options.flags & kMinimizeLatency) != 0 ? 2u : 3u);
    const std::string label = options.streamName.empty() ? "Stream" : options.streamName;
    format.mediaName = label + ": " + (wantInput ? routeNames[0] : "(no input)") + " \u2192 " +
                       (wantOutput ? routeNames[1] : "(no output)");

    return Opened{std::make_unique<PulseDeviceStream>(std::move(format), callback, userData, std::move(reports),
                                                      std::move(used)),
                  {}};
}

std::shared_ptr<BackEnd> makePulseBackEnd() {
    // Returns at once once the connection is up (or was tried): only the first call waits.
    pulseConnection().start(std::chrono::seconds(2), true);
    return std::make_shared<PulseBackEnd>();
}

} // namespace audio
