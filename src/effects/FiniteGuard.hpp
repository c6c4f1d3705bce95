#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// Last line of defence for effects that feed their output back (delay lines, recursive filters):
// one infinity or NaN would otherwise stay in their state, and in every later block, for good.

// True when every sample is finite. Tests the exponent bits as integers so the loop vectorises:
// about the cost of reading the block once, and no branch per sample.
inline bool allFinite(const float* samples, std::size_t count) noexcept {
    std::uint32_t nonFinite = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, samples + i, sizeof bits);
        nonFinite |= (bits & 0x7f800000u) == 0x7f800000u;
    }
    return nonFinite == 0;
}

// Replaces a block that holds a non-finite sample by silence. True when it did: the caller then
// clears its state.
inline bool silenceIfNonFinite(float* samples, std::size_t count) noexcept {
    if (allFinite(samples, count)) return false;
    std::memset(samples, 0, count * sizeof(float));
    return true;
}
