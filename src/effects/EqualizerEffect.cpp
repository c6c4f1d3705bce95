#include "effects/EqualizerEffect.hpp"

#include "effects/FiniteGuard.hpp"
#include "utilities/Log.hpp"

#include <algorithm>
#include <cmath>

namespace {

constexpr auto relaxed = std::memory_order_relaxed;
constexpr float kCoefficient = 0.1f;
constexpr float kFeedback = 1.0f - kCoefficient;

} // namespace

EqualizerEffect::EqualizerEffect(std::string name) : Effect(std::move(name)) {
    Utilities::log("Equalizer constructor", "EqualizerEffect", __LINE__);
    registerParameter("lowGain", &EqualizerEffect::setLowGain, &EqualizerEffect::getLowGain);
    registerParameter("midGain", &EqualizerEffect::setMidGain, &EqualizerEffect::getMidGain);
    registerParameter("highGain", &EqualizerEffect::setHighGain, &EqualizerEffect::getHighGain);
    processingState = true;
}

EqualizerEffect::EqualizerEffect(const EqualizerEffect& other) : Effect(other) {
    lowGain.store(other.lowGain.load(relaxed), relaxed);
    midGain.store(other.midGain.load(relaxed), relaxed);
    highGain.store(other.highGain.load(relaxed), relaxed);
    ProcessingScope guard(other);
    lowState = other.lowState;
    bandState = other.bandState;
    highState = other.highState;
}

void EqualizerEffect::setLowGain(float gain) {
    lowGain.store(gain, relaxed);
    Utilities::log("Low gain set to " + std::to_string(gain));
}

void EqualizerEffect::setMidGain(float gain) {
    midGain.store(gain, relaxed);
    Utilities::log("Mid gain set to " + std::to_string(gain));
}

void EqualizerEffect::setHighGain(float gain) {
    highGain.store(gain, relaxed);
    Utilities::log("High gain set to " + std::to_string(gain));
}

float EqualizerEffect::getLowGain() const {
    return lowGain.load(relaxed);
}

float EqualizerEffect::getMidGain() const {
    return midGain.load(relaxed);
}

float EqualizerEffect::getHighGain() const {
    return highGain.load(relaxed);
}

float EqualizerEffect::applyLowPass(float x, float& state) {
    state = std::fma(kCoefficient, x, kFeedback * state);
    return state;
}

float EqualizerEffect::applyBandPass(float x, float& state) {
    const float low = applyLowPass(x, state);
    return applyLowPass(x - low, state);
}

float EqualizerEffect::applyHighPass(float x, float& state) {
    const float previous = state;
    state = x;
    return x - kCoefficient * previous;
}

void EqualizerEffect::process(float* in, float* out, unsigned nChannels, unsigned nFrames, unsigned sampleRate) noexcept {
    if (nChannels > kMaxStateChannels) {
        if (in != out) std::copy(in, in + std::size_t(nChannels) * nFrames, out);
        return;
    }
    lowRamp.setTarget(lowGain.load(relaxed), sampleRate);
    midRamp.setTarget(midGain.load(relaxed), sampleRate);
    highRamp.setTarget(highGain.load(relaxed), sampleRate);
    // The gains of a run of frames, so that channels can still run one at a time with the state in
    // locals (the same samples as frame by frame, without a round trip through memory per sample).
    constexpr unsigned kRun = 64;
    float low[kRun], mid[kRun], high[kRun];
    for (unsigned first = 0; first < nFrames; first += kRun) {
        const unsigned frames = std::min(kRun, nFrames - first);
        for (unsigned f = 0; f < frames; ++f) {
            low[f] = lowRamp.next();
            mid[f] = midRamp.next();
            high[f] = highRamp.next();
        }
        for (unsigned c = 0; c < nChannels; ++c) {
            float lowValue = lowState[c];
            float bandValue = bandState[c];
            float highValue = highState[c];
            for (unsigned f = 0; f < frames; ++f) {
                const std::size_t i = std::size_t(first + f) * nChannels + c;
                const float x = in[i];
                const float lowPart = applyLowPass(x, lowValue);
                const float midPart = applyBandPass(x, bandValue);
                // The high state keeps the last output, not the last input: high[n] = x[n] - 0.1 high[n-1].
                highValue = applyHighPass(x, highValue);
                out[i] = std::fma(highValue, high[f], std::fma(lowPart, low[f], midPart * mid[f]));
            }
            lowState[c] = lowValue;
            bandState[c] = bandValue;
            highState[c] = highValue;
        }
    }
    // A non-finite gain (or a sum that overflows): silence for the block and a fresh start.
    if (silenceIfNonFinite(out, std::size_t(nChannels) * nFrames)) {
        std::fill_n(lowState.begin(), nChannels, 0.0f);
        std::fill_n(bandState.begin(), nChannels, 0.0f);
        std::fill_n(highState.begin(), nChannels, 0.0f);
    }
}

std::string EqualizerEffect::getSnapshotDump() {
    return snapshotHeader() + "Low gain: " + std::to_string(lowGain.load(relaxed)) + "\n" +
           "Mid gain: " + std::to_string(midGain.load(relaxed)) + "\n" +
           "High gain: " + std::to_string(highGain.load(relaxed)) + "\n";
}
