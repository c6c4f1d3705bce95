#pragma once

#include "audio/BackEnd.hpp"

#include <RtAudio.h>

namespace audio::detail {

// How many periods the library should buffer for a stream. The installed library's PulseAudio path
// keeps the server's default playback buffer (about 100 ms, refilled in bursts of callbacks) when
// numberOfBuffers is 0, and a playback buffer of numberOfBuffers periods otherwise; recording is
// always fetched a period at a time. So an unset count becomes three periods there (two with
// kMinimizeLatency, the least that plays without gaps): the callback then runs once per
// period. Other back ends, and a count the caller set, are passed on as they are.
unsigned int libraryNumberOfBuffers(::RtAudio::Api api, const StreamOptions& options);

} // namespace audio::detail
