#pragma once

#include "effects/Effect.hpp"
#include "realtime/StateHandoff.hpp"

#include <atomic>
#include <cstddef>
#include <memory>

// Minimal reverb: one feedback comb over the interleaved sample stream, mixed with the dry signal.
// Room size sets the comb length (resized keeping its samples), decay the feedback, mix the wet share;
// all three are percentages. A comb length of 0 (sample rate 0, room size -10 or less) gives the dry
// input.
//
// The comb's memory only grows, and only on the control side: prepare sizes it for the stream's rate
// and a room-size change grows it for that rate, each handing it over (StateHandoff) before the new
// size takes effect. The audio side never allocates or frees; a block the memory cannot hold (a rate
// the effect was not prepared for) passes dry.
class ReverbEffect : public Effect {
public:
    // Largest room size accepted (percent); setRoomSize refuses more (or NaN) and keeps the current one.
    static constexpr float kMaxRoomSize = 1000.0f;

    explicit ReverbEffect(std::string name);
    // Takes the parameters and the comb (contents, position, length) under the source's guard; the
    // copy reports the base range -1 .. 1.
    ReverbEffect(const ReverbEffect& other);

    void prepare(const ProcessSpec& spec) override;
    void process(float* in, float* out, unsigned nChannels, unsigned nFrames, unsigned sampleRate) noexcept override;
    std::string getSnapshotDump() override;

    void setDecay(float decay);
    void setMix(float mix);
    void setRoomSize(float roomSize);
    float getDecay() const;
    float getMix() const;
    float getRoomSize() const;

private:
    struct CombMemory {
        std::unique_ptr<float[]> samples;
        std::size_t capacity = 0;
        CombMemory* nextRetired = nullptr;
    };

    // float(rate) × (roomSize / 100 + 0.1) in single precision, truncated; 0 for a length that is
    // negative, NaN or too large for the 32-bit position.
    static std::size_t combLengthFor(unsigned sampleRate, float roomSize);
    static CombMemory* newMemory(std::size_t capacity);
    // Control side: hands over memory for `length` samples unless as much was built already.
    void growFor(std::size_t length);

    std::atomic<float> decay{50.0f};
    std::atomic<float> mix{50.0f};
    std::atomic<float> roomSize{50.0f};
    StateHandoff<CombMemory> comb;
    std::size_t writePos = 0;    // audio side
    std::size_t combLength = 0;  // audio side: the comb's current length
    std::atomic<unsigned> lastSampleRate{0};    // the rate prepared for
    std::atomic<std::size_t> grownCapacity{0};  // largest memory built so far
};
