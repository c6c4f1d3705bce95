#pragma once

#include "effects/Effect.hpp"
#include "effects/GainRamp.hpp"
#include "effects/StateChannels.hpp"

#include <array>
#include <atomic>

// Fixed three-band tone control: three first-order recursive filters with the coefficient 0.1 split
// each sample into low, mid and high parts, summed with the user's gains. Independent of the sample
// rate; with all gains at 1 the sum is not the input (the effect always colours the sound).
// State is kept for kMaxStateChannels channels; a block with more channels passes unchanged. A gain
// change glides over GainRamp's time.
class EqualizerEffect : public Effect {
public:
    explicit EqualizerEffect(std::string name);
    // Member-wise, filter state included, and silent. Reads the source's state under its guard.
    EqualizerEffect(const EqualizerEffect& other);

    void process(float* in, float* out, unsigned nChannels, unsigned nFrames, unsigned sampleRate) noexcept override;
    std::string getSnapshotDump() override;

    void setLowGain(float gain);
    void setMidGain(float gain);
    void setHighGain(float gain);
    float getLowGain() const;
    float getMidGain() const;
    float getHighGain() const;

    static float applyLowPass(float x, float& state);
    static float applyBandPass(float x, float& state);
    static float applyHighPass(float x, float& state);

private:
    std::atomic<float> lowGain{1.0f};
    std::atomic<float> midGain{1.0f};
    std::atomic<float> highGain{1.0f};
    std::array<float, kMaxStateChannels> lowState{};
    std::array<float, kMaxStateChannels> bandState{};
    std::array<float, kMaxStateChannels> highState{};
    GainRamp lowRamp, midRamp, highRamp; // audio side
};
