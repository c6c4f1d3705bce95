#include "audio/pulse/SharedPlayback.hpp"

#include "audio/pulse/PulseStream.hpp"
#include "audio/pulse/ServerStreams.hpp"

#include <algorithm>

namespace audio::detail {

namespace {

// The server may hold this many periods more than asked for before it refuses: a bound, so that
// nothing could ever turn into seconds of delay.
constexpr unsigned int kOverfillPeriods = 4;

// The server mixes at most this many inputs into a sink in one pass; those past it are served a
// fraction of the time and starve. Each format the engine plays into a sink takes one.
constexpr std::size_t kMostServerStreamsPerSink = 32;

std::vector<std::weak_ptr<SharedPlayback>>& openPlaybacks() {
    static std::vector<std::weak_ptr<SharedPlayback>> open;
    return open;
}

} // namespace

SharedPlayback::SharedPlayback(pa_context* context, pa_stream* stream, SharedFormat format)
    : SharedServerStream(context, stream, std::move(format)),
      mix_(format_.channels, std::size_t(format_.periodFrames) * (format_.periodsAhead + kOverfillPeriods)),
      frameBytes_(format_.channels * sizeof(float)) {}

std::shared_ptr<SharedPlayback> SharedPlayback::open(pa_context* context, const SharedFormat& format,
                                                     std::string& whyNot) {
    return findOrOpen(openPlaybacks(), context, format, [&]() -> std::shared_ptr<SharedPlayback> {
        const auto onSink = std::count_if(openPlaybacks().begin(), openPlaybacks().end(), [&](const auto& entry) {
            const auto shared = entry.lock();
            return shared && shared->usable(context) && shared->format().deviceName == format.deviceName;
        });
        if (static_cast<std::size_t>(onSink) >= kMostServerStreamsPerSink) {
            whyNot = format.label + " already takes " + std::to_string(kMostServerStreamsPerSink) +
                     " streams of the engine in different formats, as many as the server mixes into one device; "
                     "give this stream the rate, channels and period of a stream already playing there, so that "
                     "they share one";
            return nullptr;
        }
        pa_stream* stream =
            makeServerStream(context, "vantrell \u2192 " + format.label, format.rate, format.channels, format.map);
        if (!stream) {
            whyNot = std::string("cannot make the playback stream: ") + pa_strerror(pa_context_errno(context));
            return nullptr;
        }
        auto shared = std::make_shared<SharedPlayback>(context, stream, format);
        const std::uint32_t periodBytes = format.periodFrames * shared->frameBytes_;
        pa_buffer_attr attributes{};
        attributes.maxlength = periodBytes * (format.periodsAhead + kOverfillPeriods);
        attributes.tlength = periodBytes * format.periodsAhead;
        // As much as tlength: the output starts (and starts again after an underflow) with its full
        // margin.
        attributes.prebuf = static_cast<std::uint32_t>(-1);
        // Asked for every period, or every half period with two periods of buffer: a late member is
        // then seen with half a period left to spare (see onWrite).
        const auto halfPeriodBytes =
            static_cast<std::uint32_t>(std::max(1u, format.periodFrames / 2) * shared->frameBytes_);
        attributes.minreq = format.periodsAhead > 2 ? periodBytes : halfPeriodBytes;
        attributes.fragsize = static_cast<std::uint32_t>(-1);
        pa_stream_set_underflow_callback(stream, &SharedPlayback::onUnderflow, shared.get());
        pa_stream_set_overflow_callback(stream, &SharedPlayback::onOverflow, shared.get());
        pa_stream_set_write_callback(stream, &SharedPlayback::onWrite, shared.get());
        pa_stream_set_started_callback(stream, &SharedPlayback::onStarted, shared.get());
        // The played position, interpolated between the server's reports, measures each member's
        // output delay for its clock follower.
        const auto flags = static_cast<pa_stream_flags_t>(kServerStreamFlags | PA_STREAM_INTERPOLATE_TIMING |
                                                          PA_STREAM_AUTO_TIMING_UPDATE);
        if (pa_stream_connect_playback(stream, format.deviceName.c_str(), &attributes, flags, nullptr, nullptr) < 0) {
            whyNot = std::string("cannot connect the playback stream: ") + pa_strerror(pa_context_errno(context));
            return nullptr;
        }
        return shared;
    });
}

void SharedPlayback::join(PulseStream& member) {
    addMember(member);
    mix_.join(member.mixPlace());
    if (started_) member.outputStarted();
}

void SharedPlayback::leave(PulseStream& member) {
    removeMember(member);
    mix_.leave(member.mixPlace());
    // It may have been the one the others waited for.
    if (ready()) writeComplete();
}

std::size_t SharedPlayback::room(const OutputMix::Member& place) const {
    if (!ready()) return 0;
    const std::size_t writable = pa_stream_writable_size(stream_);
    if (writable == static_cast<std::size_t>(-1)) return 0;
    return mix_.room(place, writable / frameBytes_);
}

void SharedPlayback::add(OutputMix::Member& place, const float* samples) {
    mix_.add(place, samples, format_.periodFrames);
    writeComplete();
}

bool SharedPlayback::backlog(const OutputMix::Member& place, double& frames) const {
    pa_usec_t played = 0;
    if (pa_stream_get_time(stream_, &played) < 0) return false;
    frames = double(place.position) - double(played) * format_.rate / 1e6;
    return true;
}

void SharedPlayback::writeComplete() {
    bool lost = false;
    mix_.take(mix_.complete(), [&](const float* samples, std::size_t frames) {
        lost = pa_stream_write(stream_, samples, frames * frameBytes_, nullptr, 0, PA_SEEK_RELATIVE) < 0 || lost;
    });
    // The server took none of it (its stream is failing, which its state reports): what the members
    // played is lost, which they report as an underflow.
    if (lost)
        for (PulseStream* member : members_) member->underflowed();
    if (!refilling_) return;
    // After an underflow the server would wait for the whole buffer again, a gap of several periods
    // for every member: it plays on from one period instead.
    const std::size_t writable = pa_stream_writable_size(stream_);
    if (writable == static_cast<std::size_t>(-1) || writable / frameBytes_ + format_.periodFrames > bufferFrames())
        return;
    refilling_ = false;
    if (pa_operation* trigger = pa_stream_trigger(stream_, nullptr, nullptr)) pa_operation_unref(trigger);
}

void SharedPlayback::onWrite(pa_stream* stream, std::size_t, void* self) {
    auto* shared = static_cast<SharedPlayback*>(self);
    // A member whose input stopped would be waited for at every request until the server is down to
    // its last period: the others go on without it until it plays again.
    for (PulseStream* member : shared->members_)
        if (member->inputStalled()) shared->mix_.release(member->mixPlace(), shared->format_.periodFrames);
    for (PulseStream* member : shared->members_) member->pump();
    // Someone is still missing and the server is down to its last period (half of it with two
    // periods of buffer, where the last one is the usual margin): the others go out without it.
    const std::size_t writable = pa_stream_writable_size(stream);
    if (writable == static_cast<std::size_t>(-1)) return;
    const std::size_t buffered = shared->bufferFrames();
    const std::size_t queued = buffered - std::min(buffered, writable / shared->frameBytes_);
    const std::size_t period = shared->format_.periodFrames;
    const std::size_t reserve = shared->format_.periodsAhead > 2 ? period : period / 2;
    if (queued <= reserve && shared->mix_.ahead() > shared->mix_.complete()) {
        shared->mix_.cutLateMembers();
        shared->writeComplete();
    }
    for (PulseStream* member : shared->members_) member->watchFill();
}

void SharedPlayback::onStarted(pa_stream*, void* self) {
    auto* shared = static_cast<SharedPlayback*>(self);
    shared->started_ = true;
    for (PulseStream* member : shared->members_) member->outputStarted();
}

void SharedPlayback::onUnderflow(pa_stream*, void* self) {
    auto* shared = static_cast<SharedPlayback*>(self);
    shared->refilling_ = true;
    for (PulseStream* member : shared->members_) member->underflowed();
}

void SharedPlayback::onOverflow(pa_stream*, void* self) {
    for (PulseStream* member : static_cast<SharedPlayback*>(self)->members_) member->overflowed();
}

} // namespace audio::detail
