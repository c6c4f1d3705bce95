// The private PipeWire's tone source for the tests: a mono 440 Hz sine at amplitude 0.5 (as
// PulseAudio's sine source), published as an audio source node and computed in the graph's own
// cycles, so the tone keeps its pitch however busy the machine is. Runs until the daemon goes.
//   vantrell_pipewire_tone NODE_NAME DESCRIPTION [PRIORITY]

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <pthread.h>
#include <sched.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr unsigned int kRate = 48000;
constexpr double kFrequency = 440.0;
constexpr float kAmplitude = 0.5f;

struct Tone {
    pw_main_loop* loop = nullptr;
    pw_stream* stream = nullptr;
    // One second holds whole periods of the tone, so the phase is exact at every sample.
    unsigned long long frame = 0;
    bool realtime = false;
};

void onProcess(void* data) {
    auto* tone = static_cast<Tone*>(data);
    if (!tone->realtime) {
        // The graph's data thread: real-time, as the daemon's own nodes run, or a late wake-up
        // becomes a gap in the tone.
        sched_param priority{};
        priority.sched_priority = 80;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
        tone->realtime = true;
    }
    pw_buffer* buffer = pw_stream_dequeue_buffer(tone->stream);
    if (buffer == nullptr) return;
    spa_data& plane = buffer->buffer->datas[0];
    auto* samples = static_cast<float*>(plane.data);
    if (samples == nullptr) return;
    std::uint32_t frames = plane.maxsize / sizeof(float);
    if (buffer->requested != 0 && buffer->requested < frames) frames = static_cast<std::uint32_t>(buffer->requested);
    for (std::uint32_t i = 0; i < frames; ++i, ++tone->frame)
        samples[i] = kAmplitude * static_cast<float>(std::sin(2.0 * M_PI * kFrequency *
                                                             static_cast<double>(tone->frame % kRate) / kRate));
    plane.chunk->offset = 0;
    plane.chunk->stride = sizeof(float);
    plane.chunk->size = frames * sizeof(float);
    pw_stream_queue_buffer(tone->stream, buffer);
}

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    // The daemon gone: nothing left to serve.
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
        if (error) std::fprintf(stderr, "tone source: %s\n", error);
        pw_main_loop_quit(static_cast<Tone*>(data)->loop);
    }
}

const pw_stream_events kEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = onStateChanged;
    events.process = onProcess;
    return events;
}();

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s NODE_NAME DESCRIPTION [PRIORITY]\n", argv[0]);
        return 2;
    }
    pw_init(&argc, &argv);
    Tone tone;
    tone.loop = pw_main_loop_new(nullptr);
    pw_properties* properties = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_CLASS, "Audio/Source",
        PW_KEY_NODE_NAME, argv[1], PW_KEY_NODE_DESCRIPTION, argv[2], "priority.session", argc > 3 ? argv[3] : "1000", nullptr);
    tone.stream = pw_stream_new_simple(pw_main_loop_get_loop(tone.loop), argv[1], properties, &kEvents, &tone);

    std::uint8_t space[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(space, sizeof(space));
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = kRate;
    info.channels = 1;
    info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    const int connected = pw_stream_connect(
        tone.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS), params, 1);
    if (connected < 0) {
        std::fprintf(stderr, "tone source: cannot connect (%d)\n", connected);
        return 1;
    }
    pw_main_loop_run(tone.loop);
    pw_stream_destroy(tone.stream);
    pw_main_loop_destroy(tone.loop);
    pw_deinit();
    return 0;
}
