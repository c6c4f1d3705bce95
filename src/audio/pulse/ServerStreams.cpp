#include "audio/pulse/ServerStreams.hpp"

namespace audio::detail {

pa_stream* makeServerStream(pa_context* context, const std::string& name, unsigned int rate, unsigned int channels,
                            const pa_channel_map& map) {
    pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, rate, static_cast<uint8_t>(channels)};
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, name.c_str());
    pa_stream* stream = pa_stream_new_with_proplist(context, name.c_str(), &spec, &map, properties);
    pa_proplist_free(properties);
    return stream;
}

void retireServerStream(pa_stream* stream) {
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_write_callback(stream, nullptr, nullptr);
    pa_stream_set_underflow_callback(stream, nullptr, nullptr);
    pa_stream_set_overflow_callback(stream, nullptr, nullptr);
    pa_stream_set_started_callback(stream, nullptr, nullptr);
    if (pa_stream_get_state(stream) != PA_STREAM_CREATING) {
        if (pa_stream_get_state(stream) == PA_STREAM_READY) pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        return;
    }
    // The server has not answered the creation yet, so there is nothing to disconnect: our
    // reference is kept until it answers.
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

} // namespace audio::detail
