#include "audio/pipewire/PipeWireStream.hpp"

#include "audio/DeferredReports.hpp"
#include "audio/DeviceLost.hpp"

#include <pipewire/pipewire.h>
#include <spa/debug/types.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/audio/type-info.h>
#include <spa/utils/result.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <numeric>

namespace audio::detail {

namespace {

// The largest quantum a graph runs; what one playback cycle can ask for.
constexpr std::size_t kLargestCycleFrames = 8192;

// Input waiting for the output: sixteen periods and a cycle (the most the output waits for before
// it starts), or a second, whichever is more, within 16 MiB.
std::size_t inputRingFrames(const PipeWireStreamFormat& format) {
    const std::size_t frameBytes = std::size_t(format.inputChannels) * sizeof(float);
    const std::size_t period = format.periodFrames;
    const std::size_t wanted =
        std::max({period * 16 + kLargestCycleFrames, std::size_t(format.rate), kLargestCycleFrames * 2});
    return std::max(period * 2, std::min(wanted, (std::size_t(16) << 20) / frameBytes));
}

// Channel names to the graph's positions; the layout the channel count implies when they do not fit.
void fillPositions(spa_audio_info_raw& info, const std::vector<std::string>& names) {
    bool known = names.size() == info.channels;
    for (std::size_t i = 0; known && i < names.size(); ++i) {
        const std::uint32_t position = spa_debug_type_find_type_short(spa_type_audio_channel, names[i].c_str());
        known = position != SPA_ID_INVALID && position != SPA_AUDIO_CHANNEL_UNKNOWN;
        info.position[i] = position;
    }
    if (known) return;
    if (info.channels == 1) {
        info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    } else if (info.channels == 2) {
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
    } else {
        for (std::uint32_t i = 0; i < info.channels; ++i) info.position[i] = SPA_AUDIO_CHANNEL_AUX0 + i;
    }
}

// A node name graph tools can match on: the engine's label, without spaces.
std::string nodeName(const std::string& label, const char* direction) {
    std::string name = "vantrell." + label + "." + direction;
    for (char& c : name)
        if (c == ' ' || c == ':') c = '_';
    return name;
}

} // namespace

struct PipeWireStream::Listeners {
    spa_hook capture{};
    spa_hook playback{};

    static void onState(void* self, pw_stream_state, pw_stream_state state, const char* error) {
        auto* owner = static_cast<PipeWireStream*>(self);
        if (state == PW_STREAM_STATE_ERROR) owner->ended(error ? error : "stream error");
    }
    static void onCapture(void* self) { static_cast<PipeWireStream*>(self)->captured(); }
    static void onPlayback(void* self) { static_cast<PipeWireStream*>(self)->playbackWanted(); }
};

PipeWireStream::PipeWireStream(PipeWireStreamFormat format, PeriodCallback callback, void* userData,
                               StreamReports reports)
    : format_(std::move(format)),
      callback_(callback),
      userData_(userData),
      reports_(std::make_shared<ReportGate>(std::move(reports))),
      inputFrameBytes_(format_.inputChannels * sizeof(float)),
      outputFrameBytes_(format_.outputChannels * sizeof(float)),
      input_(std::size_t(format_.periodFrames) * format_.inputChannels),
      output_(std::size_t(format_.periodFrames) * format_.outputChannels),
      pacer_(format_.periodFrames, format_.inputNode.empty() ? 0 : format_.inputChannels,
             format_.inputNode.empty() ? 0 : inputRingFrames(format_)),
      pendingFrames_(format_.periodFrames + kLargestCycleFrames) {
    pending_.resize(pendingFrames_ * format_.outputChannels);
}

PipeWireStream::~PipeWireStream() {
    reports_->close();
    auto& connection = pipeWireConnection();
    connection.lock();
    destroyStreams();
    connection.unlock();
}

Result PipeWireStream::start() {
    if (isRunning()) return Result::failure(Fault::Warning, "the stream is already running.");
    auto& connection = pipeWireConnection();
    connection.lock();
    destroyStreams();
    pw_core* core = connection.readyCore();
    std::vector<std::string> missing;
    if (core) {
        if (!format_.inputNode.empty() && !connection.hasNode(format_.inputNode)) missing.push_back(format_.inputName);
        if (!format_.outputNode.empty() && !connection.hasNode(format_.outputNode))
            missing.push_back(format_.outputName);
    }
    std::string whyNot;
    const bool started = core && missing.empty() && connectStreams(core, whyNot);
    connection.unlock();
    if (!core) return Result::failure(Fault::System, "the PipeWire daemon is not answering.");
    if (!missing.empty())
        return deviceLost(missing);
    if (!started) return Result::failure(Fault::Driver, whyNot + ".");
    return {};
}

Result PipeWireStream::stop() {
    if (!running_.load()) return Result::failure(Fault::Warning, "the stream is not running.");
    auto& connection = pipeWireConnection();
    connection.lock();
    destroyStreams();
    connection.unlock();
    return {};
}

bool PipeWireStream::connectStreams(pw_core* core, std::string& whyNot) {
    // No stream exists now: the data thread touches none of this.
    pacer_.restart();
    pendingStart_ = pendingFill_ = 0;
    primed_ = false;
    framesDone_ = 0;
    halted_ = false;
    finished_.store(false);
    listeners_ = std::make_unique<Listeners>();

    static const pw_stream_events captureEvents = [] {
        pw_stream_events events{};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.state_changed = &Listeners::onState;
        events.process = &Listeners::onCapture;
        return events;
    }();
    static const pw_stream_events playbackEvents = [] {
        pw_stream_events events{};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.state_changed = &Listeners::onState;
        events.process = &Listeners::onPlayback;
        return events;
    }();

    const std::string latency = std::to_string(format_.periodFrames) + "/" + std::to_string(format_.rate);
    const std::string group = nodeName(format_.label, "route");
    auto make = [&](bool capture) -> bool {
        const char* direction = capture ? "capture" : "playback";
        pw_properties* properties = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, capture ? "Capture" : "Playback",
            PW_KEY_MEDIA_NAME, format_.route.c_str(), PW_KEY_NODE_NAME, nodeName(format_.label, direction).c_str(),
            PW_KEY_NODE_DESCRIPTION, (format_.route + (capture ? " (in)" : " (out)")).c_str(), PW_KEY_NODE_LATENCY,
            latency.c_str(), PW_KEY_TARGET_OBJECT, (capture ? format_.inputNode : format_.outputNode).c_str(),
            // Stay on the named device: if it goes, the engine hears of it, rather than the session
            // manager moving the stream to wherever it likes.
            PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
        if (capture && format_.inputIsMonitor) pw_properties_set(properties, PW_KEY_STREAM_CAPTURE_SINK, "true");
        // One group: the graph runs both halves in the same cycle of one driver (and rate-matches
        // a device on another clock), and never links one half to the other.
        pw_properties_set(properties, PW_KEY_NODE_GROUP, group.c_str());
        pw_properties_set(properties, "node.link-group", group.c_str());
        pw_stream*& stream = capture ? capture_ : playback_;
        // Set before it connects: its process callback dequeues from it.
        stream = pw_stream_new(core, format_.route.c_str(), properties);
        if (!stream) {
            whyNot = std::string("cannot make the ") + direction + " stream: " + std::strerror(errno);
            return false;
        }
        pw_stream_add_listener(stream, capture ? &listeners_->capture : &listeners_->playback,
                               capture ? &captureEvents : &playbackEvents, this);

        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_F32;
        info.rate = format_.rate;
        info.channels = capture ? format_.inputChannels : format_.outputChannels;
        fillPositions(info, capture ? format_.inputPositions : format_.outputPositions);
        std::uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                                  PW_STREAM_FLAG_RT_PROCESS);
        // A route's output runs when its input has come, in the same cycle and on the same wake-up:
        // the capture triggers it rather than the graph scheduling it on its own.
        if (!capture && triggered()) flags = static_cast<pw_stream_flags>(flags | PW_STREAM_FLAG_TRIGGER);
        if (const int res = pw_stream_connect(stream, capture ? PW_DIRECTION_INPUT : PW_DIRECTION_OUTPUT, PW_ID_ANY,
                                              flags, params, 1);
            res < 0) {
            whyNot = std::string("cannot connect the ") + direction + " stream: " + spa_strerror(res);
            return false;
        }
        return true;
    };
    if ((!format_.outputNode.empty() && !make(false)) || (!format_.inputNode.empty() && !make(true))) {
        destroyStreams();
        return false;
    }
    pipeWireConnection().addWatcher(this);
    watching_ = true;
    running_.store(true);
    return true;
}

void PipeWireStream::destroyStreams() {
    running_.store(false);
    if (watching_) {
        pipeWireConnection().removeWatcher(this);
        watching_ = false;
    }
    // Once destroyed, no process callback of theirs runs (the data thread lets go of them first).
    if (capture_) {
        spa_hook_remove(&listeners_->capture);
        pw_stream_destroy(capture_);
        capture_ = nullptr;
    }
    if (playback_) {
        spa_hook_remove(&listeners_->playback);
        pw_stream_destroy(playback_);
        playback_ = nullptr;
    }
}

void PipeWireStream::halt() {
    halted_ = true;
    running_.store(false);
    // The other direction would go on playing silence or filling its ring for nobody.
    for (pw_stream* stream : {capture_, playback_})
        if (stream) pw_stream_set_active(stream, false);
}

void PipeWireStream::reportLost(const std::vector<std::string>& names) {
    const Result report = deviceLost(names);
    deferredReports().deliver(reports_, report);
}

void PipeWireStream::nodeGone(const std::string& nodeName) {
    if (halted_ || (nodeName != format_.inputNode && nodeName != format_.outputNode)) return;
    halt();
    std::vector<std::string> names;
    if (nodeName == format_.inputNode) names.push_back(format_.inputName);
    if (nodeName == format_.outputNode && format_.outputName != format_.inputName) names.push_back(format_.outputName);
    reportLost(names);
}

void PipeWireStream::daemonGone() {
    // The core goes next: nothing of ours may stay on it.
    const bool wasHalted = halted_;
    destroyStreams();
    halted_ = true;
    if (wasHalted) return;
    std::vector<std::string> names;
    if (!format_.inputNode.empty()) names.push_back(format_.inputName);
    if (!format_.outputNode.empty()) names.push_back(format_.outputName);
    reportLost(names);
}

void PipeWireStream::ended(const std::string& why) {
    if (halted_) return;
    halt();
    // The node may be on its way out: once the registry has caught up, a missing device is a loss
    // (the engine reopens the stream when it returns); anything else is the daemon refusing it.
    std::weak_ptr<ReportGate> weak = reports_;
    const PipeWireStreamFormat& format = format_;
    auto& connection = pipeWireConnection();
    connection.afterRoundTrip([weak, why, &connection, inputNode = format.inputNode, outputNode = format.outputNode,
                               inputName = format.inputName, outputName = format.outputName] {
        std::vector<std::string> missing;
        if (!inputNode.empty() && !connection.hasNode(inputNode)) missing.push_back(inputName);
        if (!outputNode.empty() && !connection.hasNode(outputNode)) missing.push_back(outputName);
        const Result report =
            missing.empty() ? Result::failure(Fault::Driver, "The PipeWire daemon ended the stream: " + why + ".")
                            : deviceLost(missing);
        deferredReports().deliver(weak, report);
    });
}

// --- The data thread: no lock, allocation or system call below (but PipeWire's own signalling of
// the graph, in queue and trigger).

void PipeWireStream::captured() {
    if (pw_buffer* buffer = pw_stream_dequeue_buffer(capture_)) {
        const spa_data& data = buffer->buffer->datas[0];
        if (data.chunk && inputFrameBytes_ != 0) {
            const std::uint32_t offset = std::min(data.chunk->offset, data.maxsize);
            const std::uint32_t bytes = std::min(data.chunk->size, data.maxsize - offset);
            const bool silent = !data.data || (data.chunk->flags & SPA_CHUNK_FLAG_EMPTY);
            pacer_.pushInput(
                silent ? nullptr : reinterpret_cast<const float*>(static_cast<const std::uint8_t*>(data.data) + offset),
                bytes / inputFrameBytes_);
        }
        pw_stream_queue_buffer(capture_, buffer);
    }
    if (triggered()) {
        // Every cycle, input or not: the sink waits for the output's part of it.
        pw_stream_trigger_process(playback_);
        return;
    }
    while (!finished_.load(std::memory_order_relaxed) && pacer_.fill() >= format_.periodFrames) {
        pacer_.takePeriod(input_.data());
        runPeriod(true);
    }
}

void PipeWireStream::playbackWanted() {
    pw_buffer* buffer = pw_stream_dequeue_buffer(playback_);
    if (!buffer) return;
    spa_data& data = buffer->buffer->datas[0];
    if (!data.data || !data.chunk || outputFrameBytes_ == 0) {
        pw_stream_queue_buffer(playback_, buffer);
        return;
    }
    std::size_t frames = data.maxsize / outputFrameBytes_;
    if (buffer->requested != 0) frames = std::min<std::size_t>(frames, buffer->requested);
    frames = std::min(frames, pendingFrames_ - format_.periodFrames);
    fillOutput(static_cast<float*>(data.data), frames);
    data.chunk->offset = 0;
    data.chunk->stride = static_cast<std::int32_t>(outputFrameBytes_);
    data.chunk->size = static_cast<std::uint32_t>(frames * outputFrameBytes_);
    pw_stream_queue_buffer(playback_, buffer);
}

void PipeWireStream::fillOutput(float* to, std::size_t frames) {
    const bool hasInput = !format_.inputNode.empty();
    const std::size_t period = format_.periodFrames;
    const std::size_t margin = period * std::max(1u, format_.periodsAhead - 1);
    while (pendingFill_ < frames && !finished_.load(std::memory_order_relaxed)) {
        if (hasInput) {
            if (!primed_) {
                // The output starts (and starts again after an underflow) with its margin in hand,
                // and with what covers the cycles until the next whole period has come: a period
                // that is not a multiple of the cycle completes up to cycle - gcd frames after
                // the cycle that needs it (1000 on 256: 248 frames; 441 on 256: 255).
                if (pacer_.fill() < margin + frames - std::gcd(period, frames)) break;
                primed_ = true;
            }
            if (pacer_.fill() < format_.periodFrames) {
                pacer_.underflowed();
                primed_ = false;
                break;
            }
            pacer_.takePeriod(input_.data());
        }
        runPeriod(hasInput);
    }
    const unsigned int channels = format_.outputChannels;
    std::size_t copied = 0;
    while (copied < frames && pendingFill_ > 0) {
        const std::size_t take = std::min({frames - copied, pendingFill_, pendingFrames_ - pendingStart_});
        std::memcpy(to + copied * channels, pending_.data() + pendingStart_ * channels, take * outputFrameBytes_);
        copied += take;
        pendingStart_ = (pendingStart_ + take) % pendingFrames_;
        pendingFill_ -= take;
    }
    std::fill(to + copied * channels, to + frames * channels, 0.0f);
}

void PipeWireStream::runPeriod(bool withInput) {
    const StreamStatus status = pacer_.takeStatus();
    const double streamTime = double(framesDone_) / format_.rate;
    const bool withOutput = !format_.outputNode.empty();
    const int verdict = callback_(withOutput ? output_.data() : nullptr, withInput ? input_.data() : nullptr,
                                  format_.periodFrames, streamTime, status, userData_);
    framesDone_ += format_.periodFrames;
    if (withOutput) {
        const unsigned int channels = format_.outputChannels;
        for (std::size_t done = 0; done < format_.periodFrames;) {
            const std::size_t end = (pendingStart_ + pendingFill_) % pendingFrames_;
            const std::size_t take = std::min<std::size_t>(format_.periodFrames - done, pendingFrames_ - end);
            std::memcpy(pending_.data() + end * channels, output_.data() + done * channels, take * outputFrameBytes_);
            done += take;
            pendingFill_ += take;
        }
    }
    if (verdict != 0) finished_.store(true, std::memory_order_relaxed); // the callback asked to stop
}

} // namespace audio::detail
