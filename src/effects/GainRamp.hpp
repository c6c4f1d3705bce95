#pragma once

#include <cmath>

// A gain that glides to each new value over kRampSeconds instead of stepping to it: a fader moved at
// once, a mute button or a preset must not click. Linear per frame, so a step never adds more to one
// sample's change than (new - old) / (rate × kRampSeconds) of the signal. Audio side only: the
// control side publishes the target (an atomic), the effect hands it to setTarget once per block.
class GainRamp {
public:
    static constexpr float kRampSeconds = 0.010f;

    void setTarget(float target, unsigned sampleRate) noexcept {
        if (std::isnan(target)) return; // keeps gliding to the last number it was given
        if (!started || !std::isfinite(current)) {
            // A new effect (or copy) starts at its value, and a gain that ran away to infinity
            // returns at once: there is nothing to glide from.
            current = goal = target;
            remaining = 0;
            started = true;
            return;
        }
        if (target == goal) return;
        goal = target;
        const float frames = std::floor(float(sampleRate) * kRampSeconds);
        remaining = frames >= 1.0f ? static_cast<unsigned>(frames) : 1u;
        step = (goal - current) / float(remaining);
    }

    bool settled() const noexcept { return remaining == 0; }
    float value() const noexcept { return current; }

    // The gain for the next frame.
    float next() noexcept {
        if (remaining == 0) return current;
        current = --remaining == 0 ? goal : current + step;
        return current;
    }

private:
    float current{0.0f};
    float goal{0.0f};
    float step{0.0f};
    unsigned remaining{0};
    bool started{false};
};
