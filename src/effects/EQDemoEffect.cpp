#include "effects/EQDemoEffect.hpp"

#include "utilities/Log.hpp"

#include <cstring>

EQDemoEffect::EQDemoEffect(std::string name, std::shared_ptr<EqualizerControl> equalizer)
    : Effect(std::move(name)), equalizer(std::move(equalizer)) {
    Utilities::log("EQDemoEffect constructor", "EQDemoEffect", __LINE__);
    registerBands();
    if (this->equalizer) {
        this->equalizer->addPeakFilters(kBands);
        for (int band = 0; band < kBands; ++band) {
            const auto filter = static_cast<unsigned int>(band);
            this->equalizer->setFilterParameter(filter, "centerFreq", bandFrequencies[band]);
            this->equalizer->setFilterParameter(filter, "Q", bandQs[band]);
            this->equalizer->setFilterParameter(filter, "gain", 0.0f);
        }
    }
}

EQDemoEffect::EQDemoEffect(const EQDemoEffect& other) : Effect(other.name), equalizer(other.equalizer) {
    registerBands();
    for (int band = 0; band < kBands; ++band)
        gains[band].store(other.gains[band].load(std::memory_order_relaxed), std::memory_order_relaxed);
}

void EQDemoEffect::registerBands() {
    registerParameter("gainBand1", &EQDemoEffect::setGainBand1, &EQDemoEffect::getGainBand1);
    registerParameter("gainBand2", &EQDemoEffect::setGainBand2, &EQDemoEffect::getGainBand2);
    registerParameter("gainBand3", &EQDemoEffect::setGainBand3, &EQDemoEffect::getGainBand3);
    registerParameter("gainBand4", &EQDemoEffect::setGainBand4, &EQDemoEffect::getGainBand4);
    registerParameter("gainBand5", &EQDemoEffect::setGainBand5, &EQDemoEffect::getGainBand5);
}

void EQDemoEffect::setBandGain(int band, float gain) {
    gains[band].store(gain, std::memory_order_relaxed);
    if (equalizer) equalizer->setFilterParameter(static_cast<unsigned int>(band), "gain", gain);
}

void EQDemoEffect::process(float* in, float* out, unsigned nChannels, unsigned nFrames, unsigned) noexcept {
    // The stream's parametric equalizer has already shaped the sound.
    if (in != out) std::memmove(out, in, sizeof(float) * nChannels * nFrames);
}

std::string EQDemoEffect::getSnapshotDump() { return snapshotHeader() + "EQDemo:\n"; }
