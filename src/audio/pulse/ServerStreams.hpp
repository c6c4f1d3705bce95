#pragma once

// Making and letting go of the server's streams, for the shared playback and record streams.

#include <pulse/pulseaudio.h>

#include <string>

namespace audio::detail {

// A float stream named `name` in the server's mixer; null when the server refused it.
pa_stream* makeServerStream(pa_context* context, const std::string& name, unsigned int rate, unsigned int channels,
                            const pa_channel_map& map);

// No callback given to the stream runs after this; the stream is dropped, not drained (whoever stops
// must not wait for the server to play what it holds), and one still being created is disconnected
// once the server answers, so none stays on the server, orphaned.
void retireServerStream(pa_stream* stream);

// Stay on the named device: if it goes, the stream fails and the engine hears of it, rather than
// playing on wherever the server would move it.
inline constexpr auto kServerStreamFlags =
    static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY);

} // namespace audio::detail
