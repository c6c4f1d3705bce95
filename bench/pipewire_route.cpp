// One route on the PipeWire back end, for bench/pipewirebench.sh: the tone source to the main sink,
// its input copied to both output channels, for a number of seconds. Prints the periods run and the
// underflows and overflows seen, also when ended early by SIGTERM or SIGINT.
//   vantrell_pipewire_route SECONDS [PERIOD [SOURCE [SINK]]]   (device names; default the test servers')

#include "audio/pipewire/PipeWireBackEnd.hpp"

#include <atomic>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

std::atomic<unsigned long> periods{0}, underflows{0}, overflows{0};
volatile std::sig_atomic_t ended = 0;

int copyThrough(void* output, void* input, unsigned int frames, double, audio::StreamStatus status, void*) {
    periods.fetch_add(1, std::memory_order_relaxed);
    if (status & audio::kOutputUnderflow) underflows.fetch_add(1, std::memory_order_relaxed);
    if (status & audio::kInputOverflow) overflows.fetch_add(1, std::memory_order_relaxed);
    auto* out = static_cast<float*>(output);
    const auto* in = static_cast<const float*>(input);
    for (unsigned int f = 0; f < frames; ++f) out[2 * f] = out[2 * f + 1] = in[f];
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 15;
    const unsigned int period = argc > 2 ? static_cast<unsigned int>(std::atoi(argv[2])) : 256;
    const std::string sourceName = argc > 3 ? argv[3] : "Sine source at 440 Hz";
    const std::string sinkName = argc > 4 ? argv[4] : "Vantrell_Main";
    if (!audio::pipeWireAnswers(std::chrono::seconds(2))) {
        std::fprintf(stderr, "no PipeWire daemon answers\n");
        return 1;
    }
    auto backEnd = audio::makePipeWireBackEnd();
    audio::StreamConfig config;
    for (const audio::Device& device : backEnd->devices()) {
        if (device.name == sourceName) config.input = {device.id, 1, 0};
        if (device.name == sinkName) config.output = {device.id, 2, 0};
    }
    config.sampleRate = 48000;
    config.periodFrames = period;
    config.options.streamName = "Bench";
    auto opened = backEnd->open(config, &copyThrough, nullptr, [](const audio::Result& report) {
        std::fprintf(stderr, "report: %s\n", report.reason().c_str());
    });
    if (!opened.stream) {
        std::fprintf(stderr, "open: %s\n", opened.result.reason().c_str());
        return 1;
    }
    if (audio::Result started = opened.stream->start(); !started) {
        std::fprintf(stderr, "start: %s\n", started.reason().c_str());
        return 1;
    }
    std::signal(SIGTERM, [](int) { ended = 1; });
    std::signal(SIGINT, [](int) { ended = 1; });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!ended && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    (void)opened.stream->stop();
    std::printf("periods %lu underflows %lu overflows %lu\n", periods.load(), underflows.load(), overflows.load());
    return 0;
}
