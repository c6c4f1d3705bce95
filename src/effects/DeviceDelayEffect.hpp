#pragma once

#include "effects/Effect.hpp"
#include "effects/ParameterRange.hpp"
#include "realtime/StateHandoff.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

// Delays a stream by a number of milliseconds through a ring of interleaved samples sized from the
// delay, the sample rate and the channel count; every change of one of them restarts the delay from
// silence. The ring is built on the control side (by prepare for a format, by setDelay for a delay)
// and handed to the audio side whole (StateHandoff); the audio side never allocates or frees one, and
// plays a block through undelayed while it holds no ring for the block's format and delay.
class DeviceDelayEffect : public Effect {
public:
    // Longest delay the ring is sized for, either sign; setDelay refuses more (or NaN) and keeps the
    // current one. The registry's range (0 .. this) refuses negative delays before they get here.
    static constexpr float kMaxDelayMs = ranges::kDelay.max;

    explicit DeviceDelayEffect(std::string name);
    // Takes the delay, the format and the ring's contents and position (under the source's guard).
    DeviceDelayEffect(const DeviceDelayEffect& other);

    void prepare(const ProcessSpec& spec) override;
    void process(float* in, float* out, unsigned nChannels, unsigned nFrames, unsigned sampleRate) noexcept override;
    std::string getSnapshotDump() override;

    void setDelay(float ms);
    float getDelay() const;
    // |delay × sampleRate / 1000| in single precision, truncated; 0 when that is not a frame count
    // (NaN, infinite, or beyond what a buffer could hold).
    std::uint64_t calculateDelayInFrames() const;

private:
    struct DelayLine {
        std::unique_ptr<float[]> samples;
        std::size_t capacity = 0;  // samples allocated; a rebuild within it reuses the memory
        std::uint64_t delayFrames = 0;
        unsigned nChannels = 0;
        unsigned sampleRate = 0;
        std::size_t writePos = 0;
        DelayLine* nextRetired = nullptr;

        std::size_t size() const { return std::size_t(delayFrames) * nChannels; }
    };

    static std::uint64_t framesFor(float ms, unsigned sampleRate);
    // Null when the ring cannot be allocated (or its size is not representable).
    static DelayLine* newLine(std::uint64_t delayFrames, unsigned nChannels, unsigned sampleRate);
    // Builds a silent ring for `ms` and the prepared format and hands it to the audio side.
    void publishLine(float ms);

    std::atomic<float> delay{0.0f};
    std::atomic<unsigned> sampleRate{0};
    std::atomic<unsigned> nChannels{0};
    StateHandoff<DelayLine> line;
};
