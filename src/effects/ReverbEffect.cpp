#include "effects/ReverbEffect.hpp"

#include "effects/FiniteGuard.hpp"
#include "utilities/Log.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace {
constexpr auto relaxed = std::memory_order_relaxed;
}

ReverbEffect::ReverbEffect(std::string name) : Effect(std::move(name)) {
    Utilities::log("ReverbEffect constructor", "ReverbEffect", __LINE__);
    registerParameter("decay", &ReverbEffect::setDecay, &ReverbEffect::getDecay);
    registerParameter("mix", &ReverbEffect::setMix, &ReverbEffect::getMix);
    registerParameter("roomSize", &ReverbEffect::setRoomSize, &ReverbEffect::getRoomSize);
    processingState = true;
}

ReverbEffect::ReverbEffect(const ReverbEffect& other) : Effect(other.name) {
    registerParameter("decay", &ReverbEffect::setDecay, &ReverbEffect::getDecay);
    registerParameter("mix", &ReverbEffect::setMix, &ReverbEffect::getMix);
    registerParameter("roomSize", &ReverbEffect::setRoomSize, &ReverbEffect::getRoomSize);
    copyFlagsFrom(other);
    processingState = true;
    decay.store(other.decay.load(relaxed), relaxed);
    mix.store(other.mix.load(relaxed), relaxed);
    roomSize.store(other.roomSize.load(relaxed), relaxed);
    const unsigned rate = other.lastSampleRate.load(relaxed);
    lastSampleRate.store(rate, relaxed);

    // Room for the source's length and for the length its room size asks for, so the copy's first
    // block does not have to grow the comb. Allocated outside the source's guard; retried if the
    // source's length changed in between.
    const std::size_t pendingLength = combLengthFor(rate, roomSize.load(relaxed));
    std::size_t sourceLength = 0;
    {
        ProcessingScope guard(other);
        sourceLength = other.combLength;
    }
    for (;;) {
        const std::size_t capacity = std::max(sourceLength, pendingLength);
        std::unique_ptr<CombMemory> memory(capacity > 0 ? newMemory(capacity) : nullptr);
        if (capacity > 0 && !memory) return;  // the copy starts with an empty comb instead
        ProcessingScope guard(other);
        if (other.combLength != sourceLength) {
            sourceLength = other.combLength;
            continue;
        }
        if (sourceLength > 0)
            std::memcpy(memory->samples.get(), other.comb.active()->samples.get(), sourceLength * sizeof(float));
        combLength = sourceLength;
        writePos = other.writePos;
        grownCapacity.store(capacity, relaxed);
        comb.install(memory.release());  // no audio thread knows the copy yet
        return;
    }
}

void ReverbEffect::setDecay(float value) {
    decay.store(value, relaxed);
    comb.reclaim();
}

void ReverbEffect::setMix(float value) {
    mix.store(value, relaxed);
    comb.reclaim();
}

void ReverbEffect::setRoomSize(float value) {
    // The comb is sized from the room: refuse one that would allocate without bound, and keep the
    // room already in effect.
    if (!(value <= kMaxRoomSize)) {
        Utilities::error("Room size refused: " + std::to_string(value) + " is beyond the maximum of " +
                             std::to_string(int(kMaxRoomSize)),
                         "setRoomSize", __LINE__);
        refuseValue();
        return;
    }
    // The memory first: the audio side must never see a room larger than the comb it holds.
    growFor(combLengthFor(lastSampleRate.load(relaxed), value));
    roomSize.store(value, relaxed);
}

void ReverbEffect::prepare(const ProcessSpec& spec) {
    lastSampleRate.store(spec.sampleRate, relaxed);
    growFor(combLengthFor(spec.sampleRate, roomSize.load(relaxed)));
}

void ReverbEffect::growFor(std::size_t length) {
    comb.reclaim();
    if (length <= grownCapacity.load(relaxed)) return;
    if (CombMemory* memory = newMemory(length)) {
        grownCapacity.store(length, relaxed);
        comb.publish(std::unique_ptr<CombMemory>(memory));
    } else {
        Utilities::error("Reverb memory could not be allocated", "growFor", __LINE__);
    }
}

float ReverbEffect::getDecay() const {
    return decay.load(relaxed);
}

float ReverbEffect::getMix() const {
    return mix.load(relaxed);
}

float ReverbEffect::getRoomSize() const {
    return roomSize.load(relaxed);
}

std::size_t ReverbEffect::combLengthFor(unsigned rate, float room) {
    const float length = float(rate) * (room / 100.0f + 0.1f);
    // NaN fails both comparisons; the position is a 32-bit value.
    if (!(length >= 1.0f) || !(length < 4294967296.0f)) return 0;
    return std::size_t(length);
}

ReverbEffect::CombMemory* ReverbEffect::newMemory(std::size_t capacity) {
    auto* memory = new (std::nothrow) CombMemory;
    if (!memory) return nullptr;
    memory->samples.reset(new (std::nothrow) float[capacity]());
    if (!memory->samples) {
        delete memory;
        return nullptr;
    }
    memory->capacity = capacity;
    return memory;
}

void ReverbEffect::process(float* in, float* out, unsigned nChannels, unsigned nFrames, unsigned sampleRate) noexcept {
    const std::size_t count = std::size_t(nChannels) * nFrames;

    // Memory grown by the control side: take it over with the samples the comb holds.
    if (CombMemory* published = comb.takePending()) {
        CombMemory* current = comb.active();
        if (!current || published->capacity > current->capacity) {
            if (combLength > 0)
                std::memcpy(published->samples.get(), current->samples.get(), combLength * sizeof(float));
            comb.install(published);
        } else {
            comb.retire(published);
        }
    }

    const std::size_t length = combLengthFor(sampleRate, roomSize.load(relaxed));
    const CombMemory* memory = comb.active();
    if (length > (memory ? memory->capacity : 0)) {
        // Not prepared for this rate: dry, with the comb as it was. At the prepared rate it is only a
        // room grown a moment ago whose memory comes with the next block: not counted.
        if (sampleRate != lastSampleRate.load(relaxed)) countUnpreparedBlock();
        if (in != out) std::copy(in, in + count, out);
        return;
    }
    if (length != combLength) {
        // A new comb starts silent; a longer one keeps what it holds and adds silence.
        if (length > combLength)
            std::fill(comb.active()->samples.get() + combLength, comb.active()->samples.get() + length, 0.0f);
        combLength = length;
        if (writePos >= combLength) writePos = 0;
    }

    if (combLength == 0) {
        if (in != out) std::copy(in, in + count, out);
        return;
    }

    float* line = comb.active()->samples.get();
    const float feedback = decay.load(relaxed) / 100.0f * 0.6f;
    const float wet = mix.load(relaxed) / 100.0f;
    const float dry = 1.0f - wet;
    std::size_t pos = writePos;
    for (std::size_t i = 0; i < count; ++i) {
        const float x = in[i];
        const float y = line[pos] * feedback + x;
        line[pos] = y;
        if (++pos == combLength) pos = 0;
        out[i] = wet * y + dry * x;
    }
    writePos = pos;
    // A feedback of 1 or more runs the comb up to infinity, a non-finite mix spoils the mix: that
    // block is silence and the comb starts afresh instead of ringing with NaN for good.
    if (silenceIfNonFinite(out, count)) std::fill_n(line, combLength, 0.0f);
}

std::string ReverbEffect::getSnapshotDump() {
    return snapshotHeader() + "Reverb: ";
}
