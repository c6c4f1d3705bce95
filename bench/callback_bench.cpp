// One period of a stereo stream at 256 frames through the audio callback (routing, the stream's
// volume, the master volume, the shared-memory export), against a plain copy of the same buffer.

#include "RatioReporter.hpp"

#include "engine/Core.hpp"
#include "VirtualBackEnd.hpp"

#include <benchmark/benchmark.h>

#include <cstring>
#include <iostream>
#include <memory>
#include <vector>

namespace {

constexpr unsigned int kFrames = 256;
constexpr unsigned int kChannels = 2;

// An engine on scripted devices with `count` running stereo streams. Its start-up log is dropped.
struct Engine {
    explicit Engine(int count) {
        auto* saved = std::cout.rdbuf(nullptr);
        mic = system->addDevice({"Mic", kChannels, 0, {48000}, 48000});
        speakers = system->addDevice({"Speakers", 0, kChannels, {48000}, 48000});
        system->setDefaultInput(mic);
        system->setDefaultOutput(speakers);
        system->settleBufferFramesAt(kFrames);
        core = std::make_unique<Core>(system);
        for (int i = 0; i < count; ++i) {
            const int id = core->addStream(mic, speakers, kChannels, kChannels, 48000, kFrames);
            core->startStream(static_cast<unsigned int>(id));
            streams.push_back(core->getStreamById(static_cast<unsigned int>(id)).get());
        }
        std::cout.rdbuf(saved);
    }
    ~Engine() {
        auto* saved = std::cout.rdbuf(nullptr);
        core.reset();
        std::cout.rdbuf(saved);
    }
    std::shared_ptr<audio::VirtualBackEnd> system = audio::VirtualBackEnd::create();
    unsigned int mic{}, speakers{};
    std::unique_ptr<Core> core;
    std::vector<Stream*> streams;
};

std::vector<float> sineBuffer() {
    std::vector<float> buffer(kFrames * kChannels);
    for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<float>((i % 97) / 97.0 - 0.5);
    return buffer;
}

void BM_PlainCopy(benchmark::State& state) {
    auto input = sineBuffer();
    std::vector<float> output(input.size());
    for (auto _ : state) {
        std::memcpy(output.data(), input.data(), input.size() * sizeof(float));
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_PlainCopy);

void BM_CallbackPeriod(benchmark::State& state) {
    Engine engine(1);
    auto input = sineBuffer();
    std::vector<float> output(input.size());
    for (auto _ : state) {
        Core::callback(output.data(), input.data(), kFrames, 0.0, 0, engine.streams[0]);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_CallbackPeriod);

void BM_PlainCopy8(benchmark::State& state) {
    auto input = sineBuffer();
    std::vector<std::vector<float>> outputs(8, std::vector<float>(input.size()));
    for (auto _ : state) {
        for (auto& output : outputs) {
            std::memcpy(output.data(), input.data(), input.size() * sizeof(float));
            benchmark::DoNotOptimize(output.data());
        }
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_PlainCopy8);

void BM_CallbackPeriod8Streams(benchmark::State& state) {
    Engine engine(8);
    auto input = sineBuffer();
    std::vector<std::vector<float>> outputs(8, std::vector<float>(input.size()));
    for (auto _ : state) {
        for (std::size_t i = 0; i < engine.streams.size(); ++i)
            Core::callback(outputs[i].data(), input.data(), kFrames, 0.0, 0, engine.streams[i]);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_CallbackPeriod8Streams);

const bool registered = registerRatio("BM_CallbackPeriod", "BM_PlainCopy") &&
                        registerRatio("BM_CallbackPeriod8Streams", "BM_PlainCopy8");

} // namespace
