#pragma once

#include "effects/Effect.hpp"
#include "effects/GainRamp.hpp"

#include <atomic>

// The gain stage: mandatory on every stream and the engine's first master effect. The parameter is a
// percentage; the effect keeps the matching decibel value and the linear factor it applies, which a
// running stream glides to (GainRamp) rather than jumps to.
class VolumeEffect : public Effect {
public:
    explicit VolumeEffect(std::string name);
    VolumeEffect(const VolumeEffect& other);

    void process(float* in, float* out, unsigned nChannels, unsigned nFrames, unsigned sampleRate) noexcept override;
    std::string getSnapshotDump() override;

    // A volume that is not a finite, non-negative percentage has no real decibel value; it silences
    // the stream (factor 0) rather than filling it with NaN or infinities.
    void setVolume(float volume);
    float getVolume() const;

private:
    std::atomic<float> volume{100.0f};
    std::atomic<float> volumeDb{0.0f};
    std::atomic<float> volumeFactor{1.0f};
    GainRamp ramp; // audio side
};
