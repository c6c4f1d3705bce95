#include "effects/SampleKernels.hpp"

#include <cstring>

namespace {

// Vectors of the compiler's own types: 16 bytes run as SSE on any x86-64 (NEON on ARM); where the
// processor has AVX, 32-byte versions built for it are chosen at run time. Each step loads both
// vectors before storing either, so in == out is safe.
template <std::size_t Bytes>
struct Vector {
    typedef float type __attribute__((vector_size(Bytes)));
};
template <std::size_t Bytes>
using Block = typename Vector<Bytes>::type;

template <std::size_t Bytes>
[[gnu::always_inline]] inline void scaleBlocks(const float* in, float* out, std::size_t count, float factor) noexcept {
    constexpr std::size_t width = Bytes / sizeof(float);
    const Block<Bytes> gain = Block<Bytes>{} + factor;
    std::size_t i = 0;
    for (; i + 2 * width <= count; i += 2 * width) {
        Block<Bytes> first, second;
        std::memcpy(&first, in + i, Bytes);
        std::memcpy(&second, in + i + width, Bytes);
        first *= gain;
        second *= gain;
        std::memcpy(out + i, &first, Bytes);
        std::memcpy(out + i + width, &second, Bytes);
    }
    for (; i < count; ++i) out[i] = in[i] * factor;
}

template <std::size_t Bytes>
[[gnu::always_inline]] inline void zeroPlusBlocks(const float* in, float* out, std::size_t count) noexcept {
    constexpr std::size_t width = Bytes / sizeof(float);
    std::size_t i = 0;
    for (; i + 2 * width <= count; i += 2 * width) {
        Block<Bytes> first, second;
        std::memcpy(&first, in + i, Bytes);
        std::memcpy(&second, in + i + width, Bytes);
        first = Block<Bytes>{} + first;
        second = Block<Bytes>{} + second;
        std::memcpy(out + i, &first, Bytes);
        std::memcpy(out + i + width, &second, Bytes);
    }
    for (; i < count; ++i) out[i] = 0.0f + in[i];
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VANTRELL_AVX_KERNELS 1
const bool hasAvx = __builtin_cpu_supports("avx");

__attribute__((target("avx"))) void scaleAvx(const float* in, float* out, std::size_t count, float factor) noexcept {
    scaleBlocks<32>(in, out, count, factor);
}

__attribute__((target("avx"))) void zeroPlusAvx(const float* in, float* out, std::size_t count) noexcept {
    zeroPlusBlocks<32>(in, out, count);
}
#endif

} // namespace

void scaleSamples(const float* in, float* out, std::size_t count, float factor) noexcept {
#ifdef VANTRELL_AVX_KERNELS
    if (hasAvx) return scaleAvx(in, out, count, factor);
#endif
    scaleBlocks<16>(in, out, count, factor);
}

void addToSilence(const float* in, float* out, std::size_t count) noexcept {
#ifdef VANTRELL_AVX_KERNELS
    if (hasAvx) return zeroPlusAvx(in, out, count);
#endif
    zeroPlusBlocks<16>(in, out, count);
}
