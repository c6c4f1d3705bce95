#pragma once

#include "effects/EQFilter.hpp"
#include "effects/GainRamp.hpp"
#include "effects/StateChannels.hpp"

#include <array>
#include <atomic>

// Peaking biquad (the Audio EQ Cookbook's peaking equalizer) in direct form I: gain in dB at the
// centre frequency, bandwidth set by Q. Coefficients are recomputed at the start of every block, so
// a parameter change is heard from the next block on; a gain change glides (GainRamp), the
// coefficients following it every 32 frames. History is kept for kMaxStateChannels
// channels and carries over between blocks.
//
// Blocks the filter cannot run soundly pass unchanged: more channels than the history holds, or
// parameters giving coefficients that are not finite (sample rate 0, Q 0, a huge gain). A channel
// whose history is no longer finite (an unstable setting blew up) restarts from silence.
class PeakFilter : public EQFilter {
public:
    PeakFilter(std::string name, unsigned id);
    // Same name, id and parameters; silent history, as a new filter has.
    PeakFilter(const PeakFilter& other);
    ~PeakFilter() override;

    void process(float* in, float* out, unsigned nChannels, unsigned nFrames, unsigned sampleRate) noexcept override;
    void getInfos() override;

    void setGain(float gain);
    void setCenterFreq(float centerFreq);
    void setQ(float q);
    float getGain() const;
    float getCenterFreq() const;
    float getQ() const;

    // Already divided by a0.
    struct Coefficients {
        float b0, b1, b2, a1, a2;
    };

private:
    void registerParameters();
    Coefficients coefficientsFor(float gainDb, unsigned sampleRate) const noexcept;
    // Frames [first, first + frames) of every channel; passes them unchanged for coefficients that are
    // not finite.
    void runFrames(float* in, float* out, unsigned nChannels, unsigned first, unsigned frames,
                   const Coefficients& k) noexcept;

    std::atomic<float> gain{0.0f};
    std::atomic<float> centerFreq{1000.0f};
    std::atomic<float> Q{1.0f};
    std::array<float, kMaxStateChannels> x1{};
    std::array<float, kMaxStateChannels> x2{};
    std::array<float, kMaxStateChannels> y1{};
    std::array<float, kMaxStateChannels> y2{};
    GainRamp gainRamp; // audio side
};
