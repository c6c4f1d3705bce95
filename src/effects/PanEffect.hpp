#pragma once

#include "effects/Effect.hpp"
#include "effects/GainRamp.hpp"

#include <atomic>

// Linear balance for stereo streams: only one side is ever attenuated. Values are stored with their
// sign inverted; the snapshot shows the stored values. "panY" is stored but does not affect audio.
class PanEffect : public Effect {
public:
    explicit PanEffect(std::string name);
    PanEffect(const PanEffect& other);

    // Mono passes unchanged, stereo is balanced, any other layout is left as it is in `out`.
    void process(float* in, float* out, unsigned nChannels, unsigned nFrames, unsigned sampleRate) noexcept override;
    std::string getSnapshotDump() override;

    void setPanX(float x);
    float getPanX() const;
    void setPanY(float y);

    static void applyPanSingleChannel(float* in, float* out, unsigned count);
    // The sides' gains glide to a new balance over GainRamp's time.
    void applyPanStereo(float* in, float* out, unsigned nFrames, unsigned sampleRate) noexcept;

private:
    std::atomic<float> panX{0.0f};
    std::atomic<float> panY{0.0f};
    GainRamp leftRamp, rightRamp; // audio side
};
