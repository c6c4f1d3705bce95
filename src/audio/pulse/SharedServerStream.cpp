#include "audio/pulse/SharedServerStream.hpp"

#include "audio/pulse/PulseStream.hpp"
#include "audio/pulse/ServerStreams.hpp"

#include <algorithm>

namespace audio::detail {

SharedServerStream::SharedServerStream(pa_context* context, pa_stream* stream, SharedFormat format)
    : context_(context), stream_(stream), format_(std::move(format)) {
    pa_stream_set_state_callback(stream_, &SharedServerStream::onState, this);
}

SharedServerStream::~SharedServerStream() { retireServerStream(stream_); }

void SharedServerStream::addMember(PulseStream& member) {
    if (std::find(members_.begin(), members_.end(), &member) == members_.end()) members_.push_back(&member);
}

void SharedServerStream::removeMember(PulseStream& member) { std::erase(members_, &member); }

void SharedServerStream::onState(pa_stream* stream, void* self) {
    auto* shared = static_cast<SharedServerStream*>(self);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED) return;
    // The server killed it (its device went), refused it, or is gone: every member heard of it.
    shared->failed_ = true;
    const char* why = pa_strerror(pa_context_errno(pa_stream_get_context(stream)));
    for (PulseStream* member : shared->members_) member->fail(why);
}

} // namespace audio::detail
