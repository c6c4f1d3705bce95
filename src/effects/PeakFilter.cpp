#include "effects/PeakFilter.hpp"

#include "effects/FiniteGuard.hpp"
#include "utilities/Log.hpp"

#include <algorithm>
#include <cmath>

namespace {

constexpr auto relaxed = std::memory_order_relaxed;
constexpr double kTwoPi = 6.283185307179586;

using Coefficients = PeakFilter::Coefficients;

// One channel's direct form I history, held in registers for a block.
struct History {
    float x1, x2, y1, y2;

    float step(float x, const Coefficients& k) {
        const float y = k.b0 * x + k.b1 * x1 + k.b2 * x2 - k.a1 * y1 - k.a2 * y2;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        return y;
    }

    // An unstable setting can blow the history up; it would stay NaN for good.
    void restartIfBlownUp() {
        if (!std::isfinite(x1) || !std::isfinite(x2) || !std::isfinite(y1) || !std::isfinite(y2))
            x1 = x2 = y1 = y2 = 0.0f;
    }
};

} // namespace

PeakFilter::PeakFilter(std::string name, unsigned id) : EQFilter(std::move(name), id) {
    Utilities::log("PeakFilter constructor", "PeakFilter", __LINE__);
    registerParameters();
}

PeakFilter::PeakFilter(const PeakFilter& other) : EQFilter(other.name, other.id) {
    registerParameters();
    gain.store(other.gain.load(relaxed), relaxed);
    centerFreq.store(other.centerFreq.load(relaxed), relaxed);
    Q.store(other.Q.load(relaxed), relaxed);
}

PeakFilter::~PeakFilter() {
    Utilities::log("PeakFilter destructor", "~PeakFilter", __LINE__);
}

void PeakFilter::registerParameters() {
    registerParameter("gain", &PeakFilter::setGain, &PeakFilter::getGain);
    registerParameter("centerFreq", &PeakFilter::setCenterFreq, &PeakFilter::getCenterFreq);
    registerParameter("Q", &PeakFilter::setQ, &PeakFilter::getQ);
}

void PeakFilter::setGain(float value) {
    gain.store(value, relaxed);
    Utilities::log("Gain set to " + std::to_string(value));
}

void PeakFilter::setCenterFreq(float value) {
    centerFreq.store(value, relaxed);
    Utilities::log("Center frequency set to " + std::to_string(value));
}

void PeakFilter::setQ(float value) {
    Q.store(value, relaxed);
    Utilities::log("Q set to " + std::to_string(value));
}

float PeakFilter::getGain() const {
    return gain.load(relaxed);
}

float PeakFilter::getCenterFreq() const {
    return centerFreq.load(relaxed);
}

float PeakFilter::getQ() const {
    return Q.load(relaxed);
}

void PeakFilter::getInfos() {
    Utilities::log("Peak filter id: " + std::to_string(id) + " name: " + name);
    Utilities::log("Gain: " + std::to_string(gain.load(relaxed)) + " Center frequency: " +
                   std::to_string(centerFreq.load(relaxed)) + " Q: " + std::to_string(Q.load(relaxed)));
}

PeakFilter::Coefficients PeakFilter::coefficientsFor(float gainDb, unsigned sampleRate) const noexcept {
    const float A = float(std::pow(10.0, double(gainDb / 40.0f)));
    // At or above Nyquist sin(w0) turns negative and the filter unstable: a centre the stream's rate
    // cannot carry sits just below it.
    const double frequency = std::min(double(centerFreq.load(relaxed)), 0.49 * double(sampleRate));
    const float w0 = float(kTwoPi * frequency / double(sampleRate));
    const float cosW0 = std::cos(w0);
    const float alpha = std::sin(w0) / (2.0f * Q.load(relaxed));
    const float b0 = 1.0f + alpha * A;
    const float b1 = -2.0f * cosW0;
    const float b2 = 1.0f - alpha * A;
    const float a0 = 1.0f + alpha / A;
    const float a1 = -2.0f * cosW0;
    const float a2 = 1.0f - alpha / A;
    return {b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0};
}

void PeakFilter::process(float* in, float* out, unsigned nChannels, unsigned nFrames, unsigned sampleRate) noexcept {
    const std::size_t count = std::size_t(nChannels) * nFrames;
    if (nChannels > kMaxStateChannels) {
        if (in != out) std::copy(in, in + count, out);
        return;
    }
    // A gain change glides: the coefficients follow the gliding gain every kGlideRun frames.
    constexpr unsigned kGlideRun = 32;
    gainRamp.setTarget(gain.load(relaxed), sampleRate);
    for (unsigned first = 0; first < nFrames;) {
        const unsigned frames = gainRamp.settled() ? nFrames - first : std::min(kGlideRun, nFrames - first);
        const float gainDb = gainRamp.value();
        for (unsigned f = 0; f < frames; ++f) gainRamp.next();
        runFrames(in, out, nChannels, first, frames, coefficientsFor(gainDb, sampleRate));
        first += frames;
    }
    // The history restarts at the next block anyway; the block itself must not carry the blow-up on.
    if (silenceIfNonFinite(out, count))
        for (unsigned channel = 0; channel < nChannels; ++channel) x1[channel] = x2[channel] = y1[channel] = y2[channel] = 0.0f;
}

void PeakFilter::runFrames(float* in, float* out, unsigned nChannels, unsigned first, unsigned frames,
                           const Coefficients& k) noexcept {
    const std::size_t begin = std::size_t(first) * nChannels, end = begin + std::size_t(frames) * nChannels;
    if (!std::isfinite(k.b0) || !std::isfinite(k.b1) || !std::isfinite(k.b2) || !std::isfinite(k.a1) ||
        !std::isfinite(k.a2)) {
        if (in != out) std::copy(in + begin, in + end, out + begin);
        return;
    }
    // Channels are independent, so they run two at a time with their history in registers: the
    // samples are the same as frame by frame, and the two recursions overlap in the CPU.
    const auto load = [this](unsigned c) {
        History h{x1[c], x2[c], y1[c], y2[c]};
        h.restartIfBlownUp();
        return h;
    };
    const auto store = [this](unsigned c, const History& h) {
        x1[c] = h.x1;
        x2[c] = h.x2;
        y1[c] = h.y1;
        y2[c] = h.y2;
    };
    unsigned c = 0;
    for (; c + 1 < nChannels; c += 2) {
        History a = load(c), b = load(c + 1);
        for (std::size_t i = begin + c; i < end; i += nChannels) {
            const float xa = in[i], xb = in[i + 1];
            out[i] = a.step(xa, k);
            out[i + 1] = b.step(xb, k);
        }
        store(c, a);
        store(c + 1, b);
    }
    if (c < nChannels) {
        History a = load(c);
        for (std::size_t i = begin + c; i < end; i += nChannels) out[i] = a.step(in[i], k);
        store(c, a);
    }
}
