#include "audio/pipewire/PipeWireBackEnd.hpp"

#include "audio/DevicesChanged.hpp"
#include "audio/pipewire/PipeWireConnection.hpp"
#include "audio/pipewire/PipeWireStream.hpp"

#include <algorithm>

namespace audio {

using namespace detail;

namespace {

constexpr unsigned int kMaxRate = 384000;
constexpr unsigned int kMaxChannels = 64; // SPA_AUDIO_MAX_CHANNELS
constexpr unsigned int kMaxPeriodFrames = 8192;

} // namespace

std::vector<Device> PipeWireBackEnd::devices() {
    // The list held here: the loop's thread may replace it meanwhile.
    const auto list = pipeWireConnection().devices();
    std::vector<Device> devices;
    devices.reserve(list->size());
    for (const PipeWireDevice& device : *list) devices.push_back(device.info);
    return devices;
}

std::optional<Device> PipeWireBackEnd::device(DeviceId id) {
    const auto list = pipeWireConnection().devices();
    if (const PipeWireDevice* device = findDevice(*list, id)) return device->info;
    return std::nullopt;
}

void PipeWireBackEnd::setDevicesChangedListener(std::function<void()> listener) {
    detail::setDevicesChangedListener(std::move(listener));
}

BackEnd::Opened PipeWireBackEnd::open(const StreamConfig& config, PeriodCallback callback, void* userData,
                                      StreamReports reports) {
    auto refuse = [](Fault fault, const std::string& text) { return Opened{nullptr, Result::failure(fault, text)}; };
    if (!callback) return refuse(Fault::InvalidParameter, "no callback given.");
    if (config.sampleRate == 0 || config.sampleRate > kMaxRate)
        return refuse(Fault::InvalidParameter,
                      "the graph cannot run a stream at " + std::to_string(config.sampleRate) + " Hz.");
    if (config.periodFrames == 0 || config.periodFrames > kMaxPeriodFrames)
        return refuse(Fault::InvalidParameter, "a period of " + std::to_string(config.periodFrames) + " frames.");
    const bool wantOutput = config.output.nChannels > 0;
    const bool wantInput = config.input.nChannels > 0;
    if (!wantOutput && !wantInput) return refuse(Fault::InvalidParameter, "no channels in either direction.");

    const auto devices = pipeWireConnection().devices();
    PipeWireStreamFormat format;
    std::string names[2] = {"(no input)", "(no output)"};
    auto resolve = [&](const StreamParameters& parameters, bool output) -> Result {
        const char* direction = output ? "output" : "input";
        const PipeWireDevice* device = findDevice(*devices, parameters.deviceId);
        const unsigned int available = device ? (output ? device->info.outputChannels : device->info.inputChannels) : 0;
        if (!device || available == 0)
            return Result::failure(Fault::InvalidDevice, std::string("the ") + direction + " device id " +
                                                             std::to_string(parameters.deviceId) + " is not present.");
        const unsigned long long wanted = static_cast<unsigned long long>(parameters.nChannels) + parameters.firstChannel;
        if (wanted > available || parameters.nChannels > kMaxChannels)
            return Result::failure(Fault::InvalidParameter, std::string("the ") + direction + " device has " +
                                                                std::to_string(available) + " channels, not " +
                                                                std::to_string(wanted) + ".");
        // The device's own channel names for the channels taken: the graph links them to those.
        std::vector<std::string> positions;
        if (device->positions.size() == available)
            positions.assign(device->positions.begin() + parameters.firstChannel,
                             device->positions.begin() + parameters.firstChannel + parameters.nChannels);
        if (output) {
            format.outputNode = device->nodeName;
            format.outputName = device->info.name;
            format.outputChannels = parameters.nChannels;
            format.outputPositions = std::move(positions);
        } else {
            format.inputNode = device->nodeName;
            format.inputIsMonitor = device->isMonitor;
            format.inputName = device->info.name;
            format.inputChannels = parameters.nChannels;
            format.inputPositions = std::move(positions);
        }
        names[output ? 1 : 0] = device->info.name;
        return {};
    };
    if (wantInput)
        if (Result result = resolve(config.input, false); !result) return Opened{nullptr, std::move(result)};
    if (wantOutput)
        if (Result result = resolve(config.output, true); !result) return Opened{nullptr, std::move(result)};

    format.rate = config.sampleRate;
    format.periodFrames = config.periodFrames;
    // The output runs right after its cycle's input has come (the capture triggers it): one period
    // of input is all it waits for, unless the caller asks for a margin of more.
    const unsigned int asked = config.options.numberOfBuffers;
    format.periodsAhead = asked != 0 ? std::clamp(asked, 2u, 16u) : 2u;
    format.label = config.options.streamName.empty() ? "Stream" : config.options.streamName;
    format.route = format.label + ": " + names[0] + " \u2192 " + names[1];
    return Opened{std::make_unique<PipeWireStream>(std::move(format), callback, userData, std::move(reports)), {}};
}

std::shared_ptr<BackEnd> makePipeWireBackEnd() {
    // Returns at once once the connection is up (or was tried): then only the first call waits.
    pipeWireConnection().start(std::chrono::seconds(2), true);
    return std::make_shared<PipeWireBackEnd>();
}

} // namespace audio
