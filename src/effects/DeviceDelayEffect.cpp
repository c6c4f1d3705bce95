#include "effects/DeviceDelayEffect.hpp"

#include "utilities/Log.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

void logDelay(float ms) {
    Utilities::log("Delay set to " + std::to_string(ms) + " ms");
}

void logAllocationFailure(const char* context, int line) {
    Utilities::error("Delay buffer could not be allocated", context, line);
}

} // namespace

DeviceDelayEffect::DeviceDelayEffect(std::string name) : Effect(std::move(name)) {
    Utilities::log("DeviceDelayEffect constructor", "DeviceDelayEffect", __LINE__);
    registerParameter("delay", &DeviceDelayEffect::setDelay, &DeviceDelayEffect::getDelay);
    processingState = true;
}

DeviceDelayEffect::DeviceDelayEffect(const DeviceDelayEffect& other) : Effect(other.name) {
    registerParameter("delay", &DeviceDelayEffect::setDelay, &DeviceDelayEffect::getDelay);
    copyFlagsFrom(other);
    processingState = true;
    delay.store(other.delay.load(relaxed), relaxed);

    // The source's newest ring: one published but not yet taken by its audio side, else the active one.
    const auto sourceRing = [&other]() -> const DelayLine* {
        const DelayLine* published = other.line.peekPending();
        return published ? published : other.line.active();
    };
    // Allocate outside the source's guard and copy inside it, so the source's audio thread never
    // waits for an allocation; retry if the ring was rebuilt in between.
    std::uint64_t frames = 0;
    unsigned channels = 0;
    {
        ProcessingScope guard(other);
        const DelayLine* source = sourceRing();
        if (!source) return;  // never processed nor set: the copy starts the same way
        frames = source->delayFrames;
        channels = source->nChannels;
    }
    for (;;) {
        std::unique_ptr<DelayLine> copy(newLine(frames, channels, 0));
        if (!copy) {
            logAllocationFailure("DeviceDelayEffect", __LINE__);
            return;
        }
        ProcessingScope guard(other);
        const DelayLine* source = sourceRing();
        if (source->delayFrames != frames || source->nChannels != channels) {
            frames = source->delayFrames;
            channels = source->nChannels;
            continue;
        }
        if (source->size() > 0)
            std::memcpy(copy->samples.get(), source->samples.get(), source->size() * sizeof(float));
        copy->sampleRate = source->sampleRate;
        copy->writePos = source->writePos;
        sampleRate.store(other.sampleRate.load(relaxed), relaxed);
        nChannels.store(other.nChannels.load(relaxed), relaxed);
        line.install(copy.release());  // no audio thread knows the copy yet
        return;
    }
}

void DeviceDelayEffect::setDelay(float ms) {
    // The ring is sized from the delay: refuse one that would allocate without bound, and keep
    // the delay already in effect.
    if (!(std::fabs(ms) <= kMaxDelayMs)) {
        Utilities::error("Delay refused: " + std::to_string(ms) + " ms is beyond the maximum of " +
                             std::to_string(int(kMaxDelayMs)) + " ms",
                         "setDelay", __LINE__);
        refuseValue();
        return;
    }
    delay.store(ms, relaxed);
    logDelay(ms);
    publishLine(ms);
}

void DeviceDelayEffect::prepare(const ProcessSpec& spec) {
    sampleRate.store(spec.sampleRate, relaxed);
    nChannels.store(spec.nChannels, relaxed);
    publishLine(delay.load(relaxed));
}

void DeviceDelayEffect::publishLine(float ms) {
    const unsigned rate = sampleRate.load(relaxed);
    const unsigned channels = nChannels.load(relaxed);
    std::unique_ptr<DelayLine> next(newLine(framesFor(ms, rate), channels, rate));
    if (!next) {
        logAllocationFailure("setDelay", __LINE__);
        next.reset(newLine(0, channels, rate));  // an empty ring: the audio passes undelayed
        if (!next) return;
    }
    line.publish(std::move(next));
}

float DeviceDelayEffect::getDelay() const {
    return delay.load(relaxed);
}

std::uint64_t DeviceDelayEffect::calculateDelayInFrames() const {
    return framesFor(delay.load(relaxed), sampleRate.load(relaxed));
}

std::uint64_t DeviceDelayEffect::framesFor(float ms, unsigned rate) {
    const float frames = std::fabs(ms * float(rate) / 1000.0f);
    // NaN fails the comparison; beyond 2^53 no buffer could be allocated anyway.
    if (!(frames < 9007199254740992.0f)) return 0;
    return std::uint64_t(frames);
}

DeviceDelayEffect::DelayLine* DeviceDelayEffect::newLine(std::uint64_t delayFrames, unsigned channels,
                                                         unsigned rate) {
    if (channels != 0 && delayFrames > std::numeric_limits<std::size_t>::max() / sizeof(float) / channels)
        return nullptr;
    auto* created = new (std::nothrow) DelayLine;
    if (!created) return nullptr;
    created->delayFrames = delayFrames;
    created->nChannels = channels;
    created->sampleRate = rate;
    const std::size_t size = created->size();
    if (size > 0) {
        created->samples.reset(new (std::nothrow) float[size]());
        if (!created->samples) {
            delete created;
            return nullptr;
        }
        created->capacity = size;
    }
    return created;
}

void DeviceDelayEffect::process(float* in, float* out, unsigned channels, unsigned nFrames, unsigned rate) noexcept {
    if (DelayLine* published = line.takePending()) line.install(published);
    DelayLine* ring = line.active();
    const std::size_t count = std::size_t(channels) * nFrames;
    const float ms = delay.load(relaxed);
    // No ring yet for this format (not prepared for it, which is counted) or for this delay: the
    // block plays undelayed.
    const bool unprepared = !ring || ring->sampleRate != rate || ring->nChannels != channels;
    if (unprepared || ring->delayFrames != framesFor(ms, rate) || ms == 0.0f || ring->delayFrames == 0 ||
        channels == 0) {
        if (unprepared) countUnpreparedBlock();
        if (in != out) std::copy(in, in + count, out);
        return;
    }

    // Read the slot before overwriting it: the ring holds exactly delayFrames whole frames, so every
    // sample comes out delayFrames frames later in its own channel.
    float* buffer = ring->samples.get();
    const std::size_t size = ring->size();
    std::size_t pos = ring->writePos;
    for (std::size_t i = 0; i < count; ++i) {
        const float x = in[i];
        out[i] = buffer[pos];
        buffer[pos] = x;
        if (++pos == size) pos = 0;
    }
    ring->writePos = pos;
}

std::string DeviceDelayEffect::getSnapshotDump() {
    return snapshotHeader() + "Delay: " + std::to_string(delay.load(relaxed)) + " ms\n";
}
