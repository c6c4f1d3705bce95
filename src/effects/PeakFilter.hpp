#pragma once

#include "effects/EQFilter.hpp"
#include "effects/StateChannels.hpp"

#include <array>
#include <atomic>

// Peaking biquad (the Audio EQ Cookbook's peaking equalizer) in direct form I: gain in dB at the
// centre frequency, bandwidth set by Q. Coefficients are recomputed at the start of every block, so
// a parameter change is heard from the next block on. History is kept for kMaxStateChannels
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

private:
    void registerParameters();

    std::atomic<float> gain{0.0f};
    std::atomic<float> centerFreq{1000.0f};
    std::atomic<float> Q{1.0f};
    std::array<float, kMaxStateChannels> x1{};
    std::array<float, kMaxStateChannels> x2{};
    std::array<float, kMaxStateChannels> y1{};
    std::array<float, kMaxStateChannels> y2{};
};
