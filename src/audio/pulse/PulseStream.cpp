#include "audio/pulse/PulseStream.hpp"

#include "audio/DeferredReports.hpp"
#include "audio/Notices.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace audio::detail {

namespace {

constexpr unsigned int kOverfillPeriods = 4;

// The resampler's filter: 32 taps a side keep a 48 kHz stream flat to 20 kHz (16 lose 5.6 dB there),
// for 0.3 % of a core with two channels.
constexpr unsigned int kResamplerHalfLength = 32;

double secondsNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A device and its own monitor run on one clock: nothing to follow. VANTRELL_CLOCK_FOLLOWING=off
// passes every stream's samples untouched (to measure, or to compare).
bool mayFollowClock(const PulseStreamFormat& format) {
    const char* setting = std::getenv("VANTRELL_CLOCK_FOLLOWING");
    return !(setting && std::string(setting) == "off") && !format.sourceName.empty() && !format.sinkName.empty() &&
           format.sourceName != format.sinkName + ".monitor";
}

// Input waiting for the output: some sources deliver in bursts of two seconds or more (PulseAudio's
// sine source does), which must not be dropped. Sixteen periods or three seconds, whichever is more,
// within 16 MiB for absurd formats, and never less than two periods.
std::size_t inputRingFrames(const PulseStreamFormat& format) {
    const std::size_t frameBytes = std::size_t(format.inputChannels) * sizeof(float);
    const std::size_t period = format.periodFrames;
    const std::size_t wanted = std::max(period * 16, std::size_t(format.rate) * 3);
    return std::max(period * 2, std::min(wanted, (std::size_t(16) << 20) / frameBytes));
}

// The input arrives in fragments of this size. A period runs once the fragment that completes it
// arrives, so up to a fragment of input waits in the ring while the output plays on: with
// period-sized fragments (which the server rounds to 255 frames at 256) that wait wanders over a
// whole period and now and then leaves the output a period short, and it runs dry. A quarter period
// bounds the wait; 64 frames bound the server's wake-ups at small periods.
unsigned int recordFragmentFrames(unsigned int periodFrames) {
    return std::max(std::min(periodFrames, 64u), periodFrames / 4);
}

} // namespace

PulseStream::PulseStream(PulseStreamFormat format, PeriodCallback callback, void* userData,
                         FailureHandler onFailure)
    : format_(std::move(format)),
      callback_(callback),
      userData_(userData),
      onFailure_(std::move(onFailure)),
      inputFrameBytes_(format_.inputChannels * sizeof(float)),
      outputFrameBytes_(format_.outputChannels * sizeof(float)),
      input_(std::size_t(format_.periodFrames) * format_.inputChannels),
      output_(std::size_t(format_.periodFrames) * format_.outputChannels),
      pacer_(format_.periodFrames, format_.sourceName.empty() ? 0 : format_.inputChannels,
             format_.sourceName.empty() ? 0 : inputRingFrames(format_)),
      mayFollow_(mayFollowClock(format_) &&
                 resampler_.setup(1.0, format_.inputChannels, kResamplerHalfLength) == 0),
      follower_(format_.rate) {}

PulseStream::~PulseStream() { stop(); }

pa_stream* PulseStream::makeStream(pa_context* context, const pa_channel_map& map, unsigned int channels) {
    pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, format_.rate, static_cast<uint8_t>(channels)};
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, format_.mediaName.c_str());
    pa_stream* stream = pa_stream_new_with_proplist(context, format_.mediaName.c_str(), &spec, &map, properties);
    pa_proplist_free(properties);
    if (!stream) return nullptr;
    pa_stream_set_state_callback(stream, &PulseStream::onState, this);
    return stream;
}

bool PulseStream::start(pa_context* context, std::string& whyNot) {
    stop();
    pacer_.restart();
    halted_ = false;
    framesDone_ = 0;
    follower_.restart(secondsNow());
    resampling_ = false;
    const std::uint32_t periodBytesOut = format_.periodFrames * outputFrameBytes_;
    // Stay on the named device: if it goes, the stream fails and the engine hears of it, rather
    // than playing on wherever the server would move it.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY);
    auto failed = [&](const char* what) {
        whyNot = std::string(what) + ": " + pa_strerror(pa_context_errno(context));
        stop();
        return false;
    };

    if (!format_.sinkName.empty()) {
        playback_ = makeStream(context, format_.outputMap, format_.outputChannels);
        if (!playback_) return failed("cannot make the playback stream");
        pa_buffer_attr attributes{};
        // Periods are written only when the server has room for them; the bound is there so that
        // nothing could ever turn into seconds of delay.
        attributes.maxlength = periodBytesOut * (format_.periodsAhead + kOverfillPeriods);
        attributes.tlength = periodBytesOut * format_.periodsAhead;
        // As much as tlength: the output starts (and starts again after an underflow) with its full
        // margin.
        attributes.prebuf = static_cast<std::uint32_t>(-1);
        attributes.minreq = periodBytesOut;
        attributes.fragsize = static_cast<std::uint32_t>(-1);
        pa_stream_set_underflow_callback(playback_, &PulseStream::onUnderflow, this);
        pa_stream_set_overflow_callback(playback_, &PulseStream::onOverflow, this);
        pa_stream_set_write_callback(playback_, &PulseStream::onWrite, this);
        if (pa_stream_connect_playback(playback_, format_.sinkName.c_str(), &attributes, flags, nullptr, nullptr) < 0)
            return failed("cannot connect the playback stream");
    }
    if (!format_.sourceName.empty()) {
        record_ = makeStream(context, format_.inputMap, format_.inputChannels);
        if (!record_) return failed("cannot make the record stream");
        pa_buffer_attr attributes{};
        attributes.maxlength = static_cast<std::uint32_t>(-1);
        attributes.fragsize = recordFragmentFrames(format_.periodFrames) * inputFrameBytes_;
        attributes.tlength = attributes.prebuf = attributes.minreq = static_cast<std::uint32_t>(-1);
        pa_stream_set_read_callback(record_, &PulseStream::onRead, this);
        pa_stream_set_overflow_callback(record_, &PulseStream::onOverflow, this);
        if (pa_stream_connect_record(record_, format_.sourceName.c_str(), &attributes, flags) < 0)
            return failed("cannot connect the record stream");
    }
    running_.store(true);
    return true;
}

void PulseStream::stop() {
    running_.store(false);
    for (pa_stream** stream : {&record_, &playback_}) {
        if (!*stream) continue;
        pa_stream_set_state_callback(*stream, nullptr, nullptr);
        pa_stream_set_read_callback(*stream, nullptr, nullptr);
        pa_stream_set_write_callback(*stream, nullptr, nullptr);
        pa_stream_set_underflow_callback(*stream, nullptr, nullptr);
        pa_stream_set_overflow_callback(*stream, nullptr, nullptr);
        retire(*stream);
        *stream = nullptr;
    }
}

void PulseStream::retire(pa_stream* stream) {
    // Dropped, not drained: whoever stops must not wait for the server to play what it holds.
    if (pa_stream_get_state(stream) != PA_STREAM_CREATING) {
        if (pa_stream_get_state(stream) == PA_STREAM_READY) pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        return;
    }
    // The server has not answered the creation yet, so there is nothing to disconnect: our
    // reference is kept until it answers, or the stream would stay on the server, orphaned.
    pa_stream_set_state_callback(
        stream,
        [](pa_stream* retired, void*) {
            switch (pa_stream_get_state(retired)) {
            case PA_STREAM_READY: pa_stream_disconnect(retired); break; // TERMINATED follows
            case PA_STREAM_FAILED:
            case PA_STREAM_TERMINATED:
                pa_stream_set_state_callback(retired, nullptr, nullptr);
                pa_stream_unref(retired);
                break;
            default: break;
            }
        },
        nullptr);
}

void PulseStream::halt(const char* why) {
    if (halted_) return;
    halted_ = true;
    running_.store(false);
    // The other direction would go on playing silence or filling its buffer for nobody.
    for (pa_stream* stream : {record_, playback_})
        if (stream && pa_stream_get_state(stream) == PA_STREAM_READY) {
            pa_operation* operation = pa_stream_cork(stream, 1, nullptr, nullptr);
            if (operation) pa_operation_unref(operation);
        }
    if (why && onFailure_) onFailure_(why);
}

void PulseStream::onState(pa_stream* stream, void* self) {
    auto* owner = static_cast<PulseStream*>(self);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED) return;
    // The server killed it (its device went), refused it, or is gone.
    owner->halt(pa_strerror(pa_context_errno(pa_stream_get_context(stream))));
}

void PulseStream::onUnderflow(pa_stream*, void* self) { static_cast<PulseStream*>(self)->pacer_.underflowed(); }
void PulseStream::onOverflow(pa_stream*, void* self) { static_cast<PulseStream*>(self)->pacer_.overflowed(); }

void PulseStream::onRead(pa_stream* stream, std::size_t, void* self) {
    auto* owner = static_cast<PulseStream*>(self);
    while (pa_stream_readable_size(stream) > 0) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
        // Data is null for a hole: silence.
        owner->pacer_.pushInput(static_cast<const float*>(data), bytes / owner->inputFrameBytes_);
        pa_stream_drop(stream);
        owner->pump();
    }
}

void PulseStream::onWrite(pa_stream*, std::size_t, void* self) { static_cast<PulseStream*>(self)->pump(); }

void PulseStream::pump() {
    // Most calls bring a fragment and no period: the fill is watched once a period, after it.
    while (!halted_) {
        std::size_t room = 0;
        if (playback_) {
            if (pa_stream_get_state(playback_) != PA_STREAM_READY) return;
            const std::size_t writable = pa_stream_writable_size(playback_);
            if (writable == static_cast<std::size_t>(-1)) return;
            room = writable / outputFrameBytes_;
        }
        if (!pacer_.due(record_ ? inputNeeded() : 0, playback_ != nullptr, room)) return;
        if (record_) takePeriodOfInput();
        runPeriod();
        watchFill();
    }
}

void PulseStream::watchFill() {
    if (!mayFollow_ || halted_ || !playback_ || pa_stream_get_state(playback_) != PA_STREAM_READY) return;
    const std::size_t writable = pa_stream_writable_size(playback_);
    if (writable == static_cast<std::size_t>(-1)) return;
    // What the server still holds of the playback buffer: all of it but what it asks for.
    const double queued = std::max(0.0, double(format_.periodFrames) * format_.periodsAhead -
                                            double(writable / outputFrameBytes_));
    follower_.observe(secondsNow(), double(pacer_.fill()) + queued);
    if (!resampling_ && follower_.following()) startResampling();
}

std::size_t PulseStream::inputNeeded() const {
    if (!resampling_) return format_.periodFrames;
    // The resampler reads a filter's length ahead of what it plays.
    return std::size_t(std::ceil(format_.periodFrames * follower_.ratio())) + 2 * kResamplerHalfLength + 2;
}

void PulseStream::startResampling() {
    resampling_ = true;
    resampler_.reset();
    // The filter starts from the frames just played (still in the ring, behind its start): the
    // output goes on from the next frame without a seam.
    const std::size_t history = resampler_.inpsize() / 2 - 1;
    const unsigned int channels = format_.inputChannels;
    const std::size_t ringFrames = pacer_.ringFrames();
    const bool kept = framesDone_ >= history && pacer_.fill() + history <= ringFrames;
    std::size_t from = (pacer_.start() + ringFrames - history) % ringFrames;
    for (std::size_t left = history; left > 0;) {
        const std::size_t take = std::min(left, ringFrames - from);
        // Null: silence.
        resampler_.inp_data = kept ? const_cast<float*>(pacer_.ring()) + from * channels : nullptr;
        resampler_.inp_count = static_cast<unsigned int>(take);
        resampler_.out_data = nullptr;
        resampler_.out_count = 1u << 20;
        resampler_.process();
        left -= take;
        from = (from + take) % ringFrames;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%+.0f ppm", follower_.drift() * 1e6);
    std::string notice = "Following the input's clock on " + format_.mediaName + ": the input runs " + text +
                         " against the output";
    deferredReports().post([notice = std::move(notice)] { postNotice(notice); });
}

void PulseStream::takePeriodOfInput() {
    if (resampling_) {
        takeResampledPeriod();
        return;
    }
    pacer_.takePeriod(input_.data());
}

void PulseStream::takeResampledPeriod() {
    const unsigned int channels = format_.inputChannels;
    resampler_.set_rratio(1.0 / follower_.ratio()); // output frames per input frame
    resampler_.out_data = input_.data();
    resampler_.out_count = format_.periodFrames;
    while (resampler_.out_count > 0 && pacer_.fill() > 0) {
        const std::size_t contiguous = std::min(pacer_.fill(), pacer_.ringFrames() - pacer_.start());
        resampler_.inp_data = const_cast<float*>(pacer_.ring()) + pacer_.start() * channels;
        resampler_.inp_count = static_cast<unsigned int>(contiguous);
        resampler_.process();
        pacer_.consume(contiguous - resampler_.inp_count);
    }
    // Never with inputNeeded()'s margin; silence rather than the last period's samples.
    std::fill(input_.end() - std::ptrdiff_t(resampler_.out_count) * channels, input_.end(), 0.0f);
}

void PulseStream::runPeriod() {
    const StreamStatus status = pacer_.takeStatus();
    if (status != 0) follower_.disturbed();
    const double streamTime = double(framesDone_) / format_.rate;
    const int verdict = callback_(playback_ ? output_.data() : nullptr, record_ ? input_.data() : nullptr,
                                  format_.periodFrames, streamTime, status, userData_);
    framesDone_ += format_.periodFrames;
    if (playback_) pa_stream_write(playback_, output_.data(), output_.size() * sizeof(float), nullptr, 0, PA_SEEK_RELATIVE);
    if (verdict != 0) halt(nullptr); // the callback asked to stop
}

} // namespace audio::detail
