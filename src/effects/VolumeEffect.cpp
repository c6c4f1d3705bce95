#include "effects/VolumeEffect.hpp"

#include "effects/SampleKernels.hpp"
#include "utilities/Log.hpp"

#include <cmath>
#include <limits>

namespace {
constexpr auto relaxed = std::memory_order_relaxed;
}

VolumeEffect::VolumeEffect(std::string name) : Effect(std::move(name)) {
    Utilities::log("VolumeEffect constructor", "VolumeEffect", __LINE__);
    registerParameter("volume", &VolumeEffect::setVolume, &VolumeEffect::getVolume);
}

VolumeEffect::VolumeEffect(const VolumeEffect& other) : Effect(other.name) {
    registerParameter("volume", &VolumeEffect::setVolume, &VolumeEffect::getVolume);
    copyFlagsFrom(other);
    volume.store(other.volume.load(relaxed), relaxed);
    volumeDb.store(other.volumeDb.load(relaxed), relaxed);
    volumeFactor.store(other.volumeFactor.load(relaxed), relaxed);
}

void VolumeEffect::setVolume(float newVolume) {
    float db = -std::numeric_limits<float>::infinity();
    float factor = 0.0f;
    if (newVolume >= 0.0f && newVolume < std::numeric_limits<float>::infinity()) {
        db = 20.0f * std::log10(newVolume / 100.0f);
        // From the stored dB value, not from the percentage: that is what the log line shows.
        factor = std::pow(10.0f, db / 20.0f);
    }
    volume.store(newVolume, relaxed);
    volumeDb.store(db, relaxed);
    volumeFactor.store(factor, relaxed);
    Utilities::log("Volume set to " + std::to_string(newVolume) + " dB: " + std::to_string(db) +
                   " factor: " + std::to_string(factor));
}

float VolumeEffect::getVolume() const {
    return volume.load(relaxed);
}

void VolumeEffect::process(float* in, float* out, unsigned nChannels, unsigned nFrames, unsigned sampleRate) noexcept {
    ramp.setTarget(volumeFactor.load(relaxed), sampleRate);
    if (ramp.settled()) return scaleSamples(in, out, std::size_t(nChannels) * nFrames, ramp.value());
    for (unsigned f = 0; f < nFrames; ++f) {
        const float factor = ramp.next();
        for (unsigned c = 0; c < nChannels; ++c) {
            const std::size_t i = std::size_t(f) * nChannels + c;
            out[i] = in[i] * factor;
        }
    }
}

std::string VolumeEffect::getSnapshotDump() {
    return snapshotHeader() + "Volume: " + std::to_string(volume.load(relaxed)) + " % (" +
           std::to_string(volumeDb.load(relaxed)) + " dB)\n";
}
