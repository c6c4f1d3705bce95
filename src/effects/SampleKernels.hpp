#pragma once

#include <cstddef>

// The per-sample loops of the default chain, at memory speed. Each gives, for every sample, the
// very bits of its one-at-a-time loop (element-wise IEEE arithmetic, no reassociation, no fused
// multiply-add). `in` and `out` are either the same buffer or disjoint. Real-time safe.

// out[i] = in[i] * factor
void scaleSamples(const float* in, float* out, std::size_t count, float factor) noexcept;

// out[i] = 0.0f + in[i]: one redirect into a zeroed buffer (-0 becomes +0, all else is kept).
void addToSilence(const float* in, float* out, std::size_t count) noexcept;
