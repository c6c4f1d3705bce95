#include "effects/EQDemoEffect.hpp"

#include "engine/Core.hpp"
#include "utilities/Log.hpp"

#include <cstring>

EQDemoEffect::EQDemoEffect(std::string name, Core* core, std::shared_ptr<Stream> stream)
    : Effect(std::move(name)), core(core), stream(stream) {
    Utilities::log("EQDemoEffect constructor", "EQDemoEffect", __LINE__);
    registerBands();
    if (stream) {
        // A stream that already has a parametric equalizer keeps it (and logs so).
        stream->addEffect("EQEffect");
        if (core) {
            const unsigned int id = stream->getStreamId();
            for (int band = 0; band < kBands; ++band) core->addEQFilterToStream(id, "PeakFilter");
            for (int band = 0; band < kBands; ++band) {
                const auto filter = static_cast<unsigned int>(band);
                core->setEQFilterParameter(id, filter, "centerFreq", bandFrequencies[band]);
                core->setEQFilterParameter(id, filter, "Q", bandQs[band]);
                core->setEQFilterParameter(id, filter, "gain", 0.0f);
            }
        }
    }
}

EQDemoEffect::EQDemoEffect(const EQDemoEffect& other) : Effect(other.name), core(other.core), stream(other.stream) {
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
    // Checked before each use: the stream may have been removed while a copy of this effect lives on.
    auto target = stream.lock();
    if (target && core) core->setEQFilterParameter(target->getStreamId(), static_cast<unsigned int>(band), "gain", gain);
}

void EQDemoEffect::process(float* in, float* out, unsigned nChannels, unsigned nFrames, unsigned) {
    // The stream's parametric equalizer has already shaped the sound.
    if (in != out) std::memmove(out, in, sizeof(float) * nChannels * nFrames);
}

std::string EQDemoEffect::getSnapshotDump() { return snapshotHeader() + "EQDemo:\n"; }
