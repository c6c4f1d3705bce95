#include "effects/PanEffect.hpp"

#include "utilities/Log.hpp"

#include <algorithm>
#include <cmath>

namespace {
constexpr auto relaxed = std::memory_order_relaxed;
}

PanEffect::PanEffect(std::string name) : Effect(std::move(name)) {
    Utilities::log("PanEffect constructor", "PanEffect", __LINE__);
    registerParameter("panX", &PanEffect::setPanX, &PanEffect::getPanX);
    registerParameter("panY", &PanEffect::setPanY);
}

PanEffect::PanEffect(const PanEffect& other) : Effect(other.name) {
    registerParameter("panX", &PanEffect::setPanX, &PanEffect::getPanX);
    registerParameter("panY", &PanEffect::setPanY);
    copyFlagsFrom(other);
    panX.store(other.panX.load(relaxed), relaxed);
    panY.store(other.panY.load(relaxed), relaxed);
}

void PanEffect::setPanX(float x) {
    panX.store(-x, relaxed);
    Utilities::log("Pan X set to " + std::to_string(x));
}

float PanEffect::getPanX() const {
    return -panX.load(relaxed);
}

void PanEffect::setPanY(float y) {
    panY.store(-y, relaxed);
    Utilities::log("Pan Y set to " + std::to_string(y));
}

void PanEffect::process(float* in, float* out, unsigned nChannels, unsigned nFrames, unsigned sampleRate) noexcept {
    if (nChannels == 1) {
        applyPanSingleChannel(in, out, nFrames);
    } else if (nChannels == 2) {
        applyPanStereo(in, out, nFrames, sampleRate);
    }
}

void PanEffect::applyPanSingleChannel(float* in, float* out, unsigned count) {
    if (in != out) std::copy(in, in + count, out);
}

void PanEffect::applyPanStereo(float* in, float* out, unsigned nFrames, unsigned sampleRate) noexcept {
    // Beyond full left or right a side would be amplified, inverted, or made infinite: the balance
    // acts at its end, and a NaN one as the centre.
    const float raw = panX.load(relaxed);
    const float stored = std::isnan(raw) ? 0.0f : std::clamp(raw, -1.0f, 1.0f);
    leftRamp.setTarget(stored < 0.0f ? 1.0f + stored : 1.0f, sampleRate);
    rightRamp.setTarget(stored < 0.0f ? 1.0f : 1.0f - stored, sampleRate);
    // A gain of 1 gives the very sample back, so the settled centre is the input bit for bit.
    for (unsigned f = 0; f < nFrames; ++f) {
        out[2 * f] = in[2 * f] * leftRamp.next();
        out[2 * f + 1] = in[2 * f + 1] * rightRamp.next();
    }
}

std::string PanEffect::getSnapshotDump() {
    return snapshotHeader() + "Pan X: " + std::to_string(panX.load(relaxed)) + "\n" +
           "Pan Y: " + std::to_string(panY.load(relaxed)) + "\n";
}
