// Summed squared differences of two runs of 8-bit pixels, one kernel per
// instruction set.
//
// Every vector path does the same to a vector of byte pairs: the absolute
// difference |a - b| in unsigned bytes (two saturating subtractions, one of
// which is zero), zero-extended to 16-bit lanes, then squared and added in
// pairs into 32-bit lanes by a multiply-add of the differences with
// themselves. The 32-bit lanes are summed across at the end of the run. A run
// never exceeds block_pixels, so no lane and no partial total can reach 2^31:
// any order of the additions gives the exact per-pixel sum.
//
// Each path keeps two accumulators, fed by alternate vectors, so that the
// additions of consecutive vectors do not wait on each other.
#include "block_ssd.hpp"

#include <immintrin.h>

namespace morvane::pixelwise {
namespace {

// The plain definition; also the tail of the paths without masked loads,
// which is shorter than one vector.
std::uint32_t scalar_ssd(const std::uint8_t* __restrict first,
                         const std::uint8_t* __restrict second,
                         std::int64_t count) noexcept {
    std::uint32_t sum = 0;
    for (std::int64_t i = 0; i < count; ++i) {
        const std::int32_t difference = std::int32_t{first[i]} - std::int32_t{second[i]};
        sum += static_cast<std::uint32_t>(difference * difference);
    }
    return sum;
}

// ---------------------------------------------------------------------------
// Baseline: SSE2 is part of x86-64, so its target enables nothing new; it
// names what the code relies on.

// Squares of the 16 byte differences at first and second, added into four
// 32-bit lanes.
__attribute__((target("sse2"))) inline __m128i squared_differences_sse2(
    const std::uint8_t* first, const std::uint8_t* second) noexcept {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(first));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(second));
    const __m128i distance = _mm_or_si128(_mm_subs_epu8(a, b), _mm_subs_epu8(b, a));
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = _mm_unpacklo_epi8(distance, zero);
    const __m128i high = _mm_unpackhi_epi8(distance, zero);
    return _mm_add_epi32(_mm_madd_epi16(low, low), _mm_madd_epi16(high, high));
}

__attribute__((target("sse2"))) inline std::uint32_t lane_total_sse2(__m128i lanes) noexcept {
    lanes = _mm_add_epi32(lanes, _mm_shuffle_epi32(lanes, _MM_SHUFFLE(1, 0, 3, 2)));
    lanes = _mm_add_epi32(lanes, _mm_shuffle_epi32(lanes, _MM_SHUFFLE(2, 3, 0, 1)));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(lanes));
}

__attribute__((target("sse2"))) std::uint32_t block_ssd_baseline(
    const std::uint8_t* __restrict first, const std::uint8_t* __restrict second,
    std::int64_t count) noexcept {
    constexpr std::int64_t lanes = 16;
    __m128i sum0 = _mm_setzero_si128();
    __m128i sum1 = _mm_setzero_si128();
    std::int64_t i = 0;
    for (; i + 2 * lanes <= count; i += 2 * lanes) {
        sum0 = _mm_add_epi32(sum0, squared_differences_sse2(first + i, second + i));
        sum1 = _mm_add_epi32(sum1, squared_differences_sse2(first + i + lanes, second + i + lanes));
    }
    if (i + lanes <= count) {
        sum0 = _mm_add_epi32(sum0, squared_differences_sse2(first + i, second + i));
        i += lanes;
    }
    return lane_total_sse2(_mm_add_epi32(sum0, sum1)) + scalar_ssd(first + i, second + i, count - i);
}

// ---------------------------------------------------------------------------
// AVX2.

// Squares of the 32 byte differences at first and second, added into eight
// 32-bit lanes. The unpacks work within 128-bit halves: which lane a pixel
// lands in does not matter to a sum.
__attribute__((target("avx2"))) inline __m256i squared_differences_avx2(
    const std::uint8_t* first, const std::uint8_t* second) noexcept {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(first));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(second));
    const __m256i distance = _mm256_or_si256(_mm256_subs_epu8(a, b), _mm256_subs_epu8(b, a));
    const __m256i zero = _mm256_setzero_si256();
    const __m256i low = _mm256_unpacklo_epi8(distance, zero);
    const __m256i high = _mm256_unpackhi_epi8(distance, zero);
    return _mm256_add_epi32(_mm256_madd_epi16(low, low), _mm256_madd_epi16(high, high));
}

__attribute__((target("avx2"))) inline std::uint32_t lane_total_avx2(__m256i lanes) noexcept {
    return lane_total_sse2(
        _mm_add_epi32(_mm256_castsi256_si128(lanes), _mm256_extracti128_si256(lanes, 1)));
}

__attribute__((target("avx2"))) std::uint32_t block_ssd_avx2(
    const std::uint8_t* __restrict first, const std::uint8_t* __restrict second,
    std::int64_t count) noexcept {
    constexpr std::int64_t lanes = 32;
    __m256i sum0 = _mm256_setzero_si256();
    __m256i sum1 = _mm256_setzero_si256();
    std::int64_t i = 0;
    for (; i + 2 * lanes <= count; i += 2 * lanes) {
        sum0 = _mm256_add_epi32(sum0, squared_differences_avx2(first + i, second + i));
        sum1 = _mm256_add_epi32(sum1,
                                squared_differences_avx2(first + i + lanes, second + i + lanes));
    }
    if (i + lanes <= count) {
        sum0 = _mm256_add_epi32(sum0, squared_differences_avx2(first + i, second + i));
        i += lanes;
    }
    return lane_total_avx2(_mm256_add_epi32(sum0, sum1)) +
           scalar_ssd(first + i, second + i, count - i);
}

// ---------------------------------------------------------------------------
// AVX-512. The pixels after the last full vector go through one masked
// vector: bytes outside the mask load as zero in both runs and add nothing.

// Squares of the 64 byte differences of a and b, added into sixteen 32-bit
// lanes.
__attribute__((target("avx512f,avx512bw"))) inline __m512i squared_differences_avx512(
    __m512i a, __m512i b) noexcept {
    const __m512i distance = _mm512_or_si512(_mm512_subs_epu8(a, b), _mm512_subs_epu8(b, a));
    const __m512i zero = _mm512_setzero_si512();
    const __m512i low = _mm512_unpacklo_epi8(distance, zero);
    const __m512i high = _mm512_unpackhi_epi8(distance, zero);
    return _mm512_add_epi32(_mm512_madd_epi16(low, low), _mm512_madd_epi16(high, high));
}

// Through memory, once per run: GCC 12's 512-bit reductions and narrowing
// casts draw false uninitialised-value warnings from its own headers.
__attribute__((target("avx512f,avx512bw"))) inline std::uint32_t lane_total_avx512(
    __m512i lanes) noexcept {
    alignas(64) std::uint32_t lane[16];
    _mm512_store_si512(lane, lanes);
    std::uint32_t total = 0;
    for (const std::uint32_t value : lane) {
        total += value;
    }
    return total;
}

__attribute__((target("avx512f,avx512bw"))) std::uint32_t block_ssd_avx512(
    const std::uint8_t* __restrict first, const std::uint8_t* __restrict second,
    std::int64_t count) noexcept {
    constexpr std::int64_t lanes = 64;
    __m512i sum0 = _mm512_setzero_si512();
    __m512i sum1 = _mm512_setzero_si512();
    std::int64_t i = 0;
    for (; i + 2 * lanes <= count; i += 2 * lanes) {
        sum0 = _mm512_add_epi32(sum0, squared_differences_avx512(_mm512_loadu_si512(first + i),
                                                                 _mm512_loadu_si512(second + i)));
        sum1 = _mm512_add_epi32(
            sum1, squared_differences_avx512(_mm512_loadu_si512(first + i + lanes),
                                             _mm512_loadu_si512(second + i + lanes)));
    }
    if (i + lanes <= count) {
        sum0 = _mm512_add_epi32(sum0, squared_differences_avx512(_mm512_loadu_si512(first + i),
                                                                 _mm512_loadu_si512(second + i)));
        i += lanes;
    }
    const std::int64_t rest = count - i;  // below one vector
    if (rest > 0) {
        const __mmask64 loaded = _cvtu64_mask64((std::uint64_t{1} << rest) - 1);
        sum1 = _mm512_add_epi32(
            sum1, squared_differences_avx512(_mm512_maskz_loadu_epi8(loaded, first + i),
                                             _mm512_maskz_loadu_epi8(loaded, second + i)));
    }
    return lane_total_avx512(_mm512_add_epi32(sum0, sum1));
}

}  // namespace

block_ssd_kernel block_ssd_kernel_for(simd_path path) noexcept {
    switch (path) {
        case simd_path::avx512: return block_ssd_avx512;
        case simd_path::avx2: return block_ssd_avx2;
        case simd_path::baseline: break;
    }
    return block_ssd_baseline;
}

}  // namespace morvane::pixelwise
