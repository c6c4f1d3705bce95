#include "audio/pulse/PulseStream.hpp"

#include "audio/DeferredReports.hpp"
#include "audio/Notices.hpp"
#include "audio/pulse/ResamplerInput.hpp"
#include "audio/pulse/SharedPlayback.hpp"
#include "audio/pulse/SharedRecord.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace audio::detail {

namespace {

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

} // namespace

PulseStream::PulseStream(PulseStreamFormat format, PeriodCallback callback, void* userData,
                         FailureHandler onFailure)
    : format_(std::move(format)),
      callback_(callback),
      userData_(userData),
      onFailure_(std::move(onFailure)),
      input_(std::size_t(format_.periodFrames) * format_.inputChannels),
      output_(std::size_t(format_.periodFrames) * format_.outputChannels),
      pacer_(format_.periodFrames, format_.sourceName.empty() ? 0 : format_.inputChannels,
             format_.sourceName.empty() ? 0 : inputRingFrames(format_)),
      heldStart_(double(format_.periodFrames) / format_.rate),
      mayFollow_(mayFollowClock(format_) &&
                 resampler_.setup(1.0, format_.inputChannels, kResamplerHalfLength) == 0),
      follower_(format_.rate) {}

PulseStream::~PulseStream() { stop(); }

bool PulseStream::start(pa_context* context, std::string& whyNot) {
    stop();
    pacer_.restart();
    halted_ = false;
    heldStart_.restart();
    framesDone_ = 0;
    lastInput_ = secondsNow();
    follower_.restart(lastInput_);
    resampling_ = false;
    if (!format_.sinkName.empty()) {
        const SharedFormat shared{format_.sinkName, format_.sinkLabel, format_.outputMap,
                                  format_.outputChannels, format_.rate, format_.periodFrames,
                                  format_.periodsAhead};
        playback_ = SharedPlayback::open(context, shared, whyNot);
        if (!playback_) return false;
        playback_->join(*this);
    }
    if (!format_.sourceName.empty()) {
        const SharedFormat shared{format_.sourceName, format_.sourceLabel, format_.inputMap,
                                  format_.inputChannels, format_.rate, format_.periodFrames, 0};
        record_ = SharedRecord::open(context, shared, whyNot);
        if (!record_) {
            stop();
            return false;
        }
        record_->join(*this);
    }
    running_.store(true);
    return true;
}

void PulseStream::stop() {
    running_.store(false);
    if (record_) record_->leave(*this);
    if (playback_) playback_->leave(*this);
    // The last member's leaving closes the server's stream.
    record_.reset();
    playback_.reset();
}

void PulseStream::halt(const char* why) {
    if (halted_) return;
    halted_ = true;
    running_.store(false);
    // The other members of its devices play on without it.
    if (playback_) playback_->pause(mixPlace_);
    if (why && onFailure_) onFailure_(why);
}

void PulseStream::takeInput(const float* data, std::size_t frames) {
    if (halted_) return;
    pacer_.pushInput(data, frames);
    lastInput_ = secondsNow();
    if (!heldStart_.outputStarted()) heldStart_.arrived(lastInput_, frames);
}

bool PulseStream::inputStalled() const {
    return record_ && !halted_ && pacer_.fill() < inputNeeded() &&
           secondsNow() - lastInput_ >= double(format_.periodFrames) / format_.rate;
}

void PulseStream::outputStarted() {
    const std::size_t stale = heldStart_.started(pacer_.fill(), format_.periodFrames);
    if (stale == 0) return;
    pacer_.consume(stale);
    follower_.disturbed();
}

std::size_t PulseStream::outputRoom() const { return playback_ ? playback_->room(mixPlace_) : 0; }

void PulseStream::pump() {
    while (!halted_) {
        if (playback_ && !playback_->ready()) return;
        if (!pacer_.due(record_ ? inputNeeded() : 0, playback_ != nullptr, outputRoom())) return;
        if (record_) takePeriodOfInput();
        runPeriod();
    }
}

void PulseStream::watchFill() {
    if (!mayFollow_ || halted_ || !playback_ || !playback_->ready()) return;
    // The input waiting and what this stream added that the device has not played. Not the room the
    // mix gives it: that depends on how far ahead of the others it is and on when the server last
    // asked, and moved as streams joined, left or lagged, which looked like a drift.
    double backlog = 0;
    if (!playback_->backlog(mixPlace_, backlog)) return;
    follower_.observe(secondsNow(), double(pacer_.fill()) + backlog);
    if (!resampling_ && follower_.following()) startResampling();
}

std::size_t PulseStream::inputNeeded() const {
    if (!resampling_) return format_.periodFrames;
    return resamplerInputNeeded(resampler_.inpdist(), kResamplerHalfLength, format_.periodFrames);
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
    // Never with what inputNeeded() asks for; silence rather than the last period's samples.
    std::fill(input_.end() - std::ptrdiff_t(resampler_.out_count) * channels, input_.end(), 0.0f);
}

void PulseStream::runPeriod() {
    if (mixPlace_.cutShort) {
        mixPlace_.cutShort = false;
        pacer_.underflowed();
    }
    const StreamStatus status = pacer_.takeStatus();
    if (status != 0) follower_.disturbed();
    const double streamTime = double(framesDone_) / format_.rate;
    const int verdict = callback_(playback_ ? output_.data() : nullptr, record_ ? input_.data() : nullptr,
                                  format_.periodFrames, streamTime, status, userData_);
    framesDone_ += format_.periodFrames;
    if (!heldStart_.outputStarted()) heldStart_.periodRan(secondsNow());
    if (playback_) playback_->add(mixPlace_, output_.data());
    if (verdict != 0) halt(nullptr); // the callback asked to stop
}

} // namespace audio::detail
