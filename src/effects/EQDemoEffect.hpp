#pragma once

#include "effects/Effect.hpp"
#include "effects/EqualizerControl.hpp"

#include <array>
#include <atomic>
#include <memory>

// A five-band graphic equalizer shown as one effect. It processes nothing itself: at creation it
// gives its stream a parametric equalizer with five peak filters, and each band's gain becomes a
// "gain" change on the matching filter, through the control the engine hands it.
class EQDemoEffect : public Effect {
public:
    static constexpr int kBands = 5;

    EQDemoEffect(std::string name, std::shared_ptr<EqualizerControl> equalizer);
    // Adds no filters anywhere, and drives the source's stream until the stream that takes the copy
    // hands it its own control (drivenBy).
    EQDemoEffect(const EQDemoEffect& other);

    // From now on the bands drive this control's stream: the one that holds the effect.
    void drivenBy(std::shared_ptr<EqualizerControl> control) { equalizer = std::move(control); }

    void process(float* in, float* out, unsigned nChannels, unsigned nFrames, unsigned sampleRate) noexcept override;
    std::string getSnapshotDump() override;

    void setGainBand1(float gain) { setBandGain(0, gain); }
    void setGainBand2(float gain) { setBandGain(1, gain); }
    void setGainBand3(float gain) { setBandGain(2, gain); }
    void setGainBand4(float gain) { setBandGain(3, gain); }
    void setGainBand5(float gain) { setBandGain(4, gain); }
    float getGainBand1() const { return gains[0].load(std::memory_order_relaxed); }
    float getGainBand2() const { return gains[1].load(std::memory_order_relaxed); }
    float getGainBand3() const { return gains[2].load(std::memory_order_relaxed); }
    float getGainBand4() const { return gains[3].load(std::memory_order_relaxed); }
    float getGainBand5() const { return gains[4].load(std::memory_order_relaxed); }

    static constexpr std::array<float, kBands> bandFrequencies{150.0f, 500.0f, 1000.0f, 8000.0f, 18000.0f};
    static constexpr std::array<float, kBands> bandQs{0.3f, 1.0f, 1.0f, 1.0f, 0.3f};

private:
    void registerBands();
    // Band `band` (0-based) drives the filter with the same id.
    void setBandGain(int band, float gain);

    std::shared_ptr<EqualizerControl> equalizer;
    std::array<std::atomic<float>, kBands> gains{};
};
