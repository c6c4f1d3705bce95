// A recorder for bench/pipewirebench.sh: pw-record reads its buffers on its main loop, and at a
// forced 256-frame quantum on a busy machine that loop falls behind and drops periods, which then
// look like glitches of the route measured. This one copies each period in the graph's own cycle,
// at real-time priority, into memory it allocated before connecting, and writes the file at the end.
//   vantrell_pipewire_record TARGET CHANNELS SECONDS FILE [LEVEL]
// TARGET is a node name; SINK.monitor records a sink's monitor. Writes interleaved float32 at 48000 Hz.
// With LEVEL, it also prints "loud at <CLOCK_REALTIME seconds>" for the first period holding a
// sample above LEVEL and stops there.

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr unsigned int kRate = 48000;

struct Recorder {
    pw_main_loop* loop = nullptr;
    pw_stream* stream = nullptr;
    unsigned int channels = 2;
    std::vector<float> samples;
    std::atomic<std::size_t> filled{0};
    float level = 0.0f;
    std::atomic<bool> loud{false};
    timespec loudAt{};
    bool realtime = false;
    bool failed = false;
    bool stopping = false;
};

void onProcess(void* data) {
    auto* recorder = static_cast<Recorder*>(data);
    if (!recorder->realtime) {
        sched_param priority{};
        priority.sched_priority = 80;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
        recorder->realtime = true;
    }
    pw_buffer* buffer = pw_stream_dequeue_buffer(recorder->stream);
    if (buffer == nullptr) return;
    const spa_data& plane = buffer->buffer->datas[0];
    if (plane.data != nullptr && plane.chunk != nullptr) {
        const std::size_t offset = std::min<std::size_t>(plane.chunk->offset, plane.maxsize);
        const std::size_t bytes = std::min<std::size_t>(plane.chunk->size, plane.maxsize - offset);
        const auto* in = reinterpret_cast<const float*>(static_cast<const char*>(plane.data) + offset);
        const std::size_t count = bytes / sizeof(float);
        const std::size_t at = recorder->filled.load(std::memory_order_relaxed);
        const std::size_t room = recorder->samples.size() - at;
        const std::size_t taken = std::min(count, room);
        std::memcpy(recorder->samples.data() + at, in, taken * sizeof(float));
        if (recorder->level > 0.0f && !recorder->loud.load(std::memory_order_relaxed)) {
            for (std::size_t i = 0; i < count; ++i) {
                if (std::fabs(in[i]) > recorder->level) {
                    clock_gettime(CLOCK_REALTIME, &recorder->loudAt);
                    recorder->loud.store(true, std::memory_order_release);
                    break;
                }
            }
        }
        recorder->filled.store(at + taken, std::memory_order_release);
    }
    pw_stream_queue_buffer(recorder->stream, buffer);
}

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error) {
    auto* recorder = static_cast<Recorder*>(data);
    if (!recorder->stopping && (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED)) {
        if (error) std::fprintf(stderr, "recorder: %s\n", error);
        recorder->failed = true;
        pw_main_loop_quit(recorder->loop);
    }
}

// Polls from the main loop: the data thread only fills and flags.
void onTimer(void* data, std::uint64_t) {
    auto* recorder = static_cast<Recorder*>(data);
    if (recorder->filled.load(std::memory_order_acquire) >= recorder->samples.size() ||
        recorder->loud.load(std::memory_order_acquire))
        pw_main_loop_quit(recorder->loop);
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
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s TARGET CHANNELS SECONDS FILE [LEVEL]\n", argv[0]);
        return 2;
    }
    pw_init(&argc, &argv);
    Recorder recorder;
    recorder.channels = static_cast<unsigned int>(std::atoi(argv[2]));
    if (recorder.channels < 1 || recorder.channels > SPA_AUDIO_MAX_CHANNELS) return 2;
    recorder.samples.resize(static_cast<std::size_t>(std::atof(argv[3]) * kRate) * recorder.channels);
    if (argc > 5) recorder.level = static_cast<float>(std::atof(argv[5]));
    recorder.loop = pw_main_loop_new(nullptr);
    pw_properties* properties = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Production",
        PW_KEY_NODE_NAME, "vantrell_bench_recorder", PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
    std::string target = argv[1];
    const std::string monitor = ".monitor";
    if (target.size() > monitor.size() && target.compare(target.size() - monitor.size(), monitor.size(), monitor) == 0) {
        target.resize(target.size() - monitor.size());
        pw_properties_set(properties, PW_KEY_STREAM_CAPTURE_SINK, "true");
    }
    pw_properties_set(properties, PW_KEY_TARGET_OBJECT, target.c_str());
    recorder.stream = pw_stream_new_simple(pw_main_loop_get_loop(recorder.loop), "vantrell_bench_recorder",
                                           properties, &kEvents, &recorder);

    std::uint8_t space[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(space, sizeof(space));
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = kRate;
    info.channels = recorder.channels;
    // Positions as the null sinks of the bench name their channels, so ports pair up by name.
    static const std::uint32_t kPositions[] = {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR, SPA_AUDIO_CHANNEL_RL,
                                               SPA_AUDIO_CHANNEL_RR};
    if (recorder.channels == 1) {
        info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    } else {
        for (unsigned int c = 0; c < recorder.channels; ++c)
            info.position[c] = c < 4 ? kPositions[c] : SPA_AUDIO_CHANNEL_AUX0 + c;
    }
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    const int connected = pw_stream_connect(
        recorder.stream, PW_DIRECTION_INPUT, PW_ID_ANY,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                     PW_STREAM_FLAG_RT_PROCESS),
        params, 1);
    if (connected < 0) {
        std::fprintf(stderr, "recorder: cannot connect (%d)\n", connected);
        return 1;
    }
    spa_source* timer = pw_loop_add_timer(pw_main_loop_get_loop(recorder.loop), onTimer, &recorder);
    timespec interval{0, 20 * 1000 * 1000};
    pw_loop_update_timer(pw_main_loop_get_loop(recorder.loop), timer, &interval, &interval, false);
    pw_main_loop_run(recorder.loop);
    recorder.stopping = true;
    pw_stream_disconnect(recorder.stream);

    const std::size_t filled = recorder.filled.load(std::memory_order_acquire);
    if (FILE* out = std::fopen(argv[4], "wb")) {
        std::fwrite(recorder.samples.data(), sizeof(float), filled, out);
        std::fclose(out);
    }
    std::fprintf(stderr, "recorded %.2f s\n", static_cast<double>(filled) / recorder.channels / kRate);
    if (recorder.loud.load(std::memory_order_acquire))
        std::printf("loud at %ld.%09ld\n", static_cast<long>(recorder.loudAt.tv_sec), recorder.loudAt.tv_nsec);
    pw_stream_destroy(recorder.stream);
    pw_main_loop_destroy(recorder.loop);
    pw_deinit();
    return recorder.failed ? 1 : 0;
}
