// Summed squared differences over one block for a tile of row pairs, one
// kernel per instruction set.
//
// A tile pairs Rows rows of the first batch with Cols rows of the second. Each
// step loads one vector of every row of the tile once and uses it for all the
// pairs the row is in, so a tile reads Rows + Cols rows for Rows x Cols sums,
// and the running sums of all its pairs stay in vector registers.
//
// A block has at most 32768 pixels and each adds at most 255^2 = 65025, so a
// block sum is at most 2,130,739,200 < 2^31. Two ways of forming it, both
// exact:
//
// - Differences (baseline, AVX2, AVX-512): pixels are widened to 16-bit
//   lanes, subtracted, and squared and added in pairs into 32-bit lanes by a
//   multiply-add of the differences with themselves. Every lane and every
//   partial total is part of the block sum, so none can overflow.
//
// - Expansion (AVX-512 VNNI): the sum of (a - b)^2 is sum(a^2) + sum(b^2) -
//   2 sum(a b), and the byte dot product vpdpbusd multiplies unsigned by
//   signed bytes, four products into each 32-bit lane, with no widening. The
//   terms of a single row are formed once per tile and serve all its pairs.
//   The parts can exceed 2^32, so all of it runs in wrapping 32-bit
//   arithmetic: each product is exact, and every addition, subtraction and
//   doubling is exact modulo 2^32, so the result equals the block sum modulo
//   2^32; the block sum lies in 0 .. 2^31 - 1, so the result is the block sum.
//
// GCC does not inline an intrinsic into a function compiled without its
// instruction set, so the difference kernel, written once over the pixel
// operations of each set, carries no target of its own: each entry point is
// compiled for its set and flattened, which inlines the whole kernel into it.
// Loops over the rows of a tile have fixed trip counts and are unrolled, so
// that the tile's sums stay in registers; every tile shape up to the path's
// largest is an instantiation of its own.
#include "block_ssd.hpp"

#include <immintrin.h>

#include <array>
#include <utility>

// Before flattening, the generic code passes vectors between functions that
// are not compiled for their instruction set, and GCC warns that the calling
// convention of such a call would change; after flattening no call remains.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace morvane::pixelwise {
namespace {

// The rows of one tile and the block of pixels to sum.
struct tile_block {
    const std::uint8_t* const* first_rows;
    const std::uint8_t* const* second_rows;
    std::int64_t start;
    std::int64_t stop;
};

// The plain definition, over the pixels that the vector steps leave: fewer
// than one step, so not worth vectorising or inlining into every tile shape.
[[gnu::noinline]] std::uint32_t scalar_ssd(const std::uint8_t* __restrict first,
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
// Differences. Each set of pixel operations widens `step` consecutive pixels
// to 16-bit lanes, adds the squares of differences into 32-bit lanes and
// totals the lanes.

// SSE2 is part of x86-64, so its target enables nothing new; it names what
// the code relies on.
struct sse2_pixels {
    using vec = __m128i;
    static constexpr std::int64_t step = 8;
    [[gnu::target("sse2")]] static vec widen(const std::uint8_t* from) noexcept {
        const vec bytes = _mm_loadl_epi64(reinterpret_cast<const vec*>(from));
        return _mm_unpacklo_epi8(bytes, _mm_setzero_si128());
    }
    [[gnu::target("sse2")]] static vec add_squared_differences(vec sums, vec a, vec b) noexcept {
        const vec difference = _mm_sub_epi16(a, b);
        return _mm_add_epi32(sums, _mm_madd_epi16(difference, difference));
    }
    [[gnu::target("sse2")]] static std::uint32_t total(vec lanes) noexcept {
        lanes = _mm_add_epi32(lanes, _mm_shuffle_epi32(lanes, _MM_SHUFFLE(1, 0, 3, 2)));
        lanes = _mm_add_epi32(lanes, _mm_shuffle_epi32(lanes, _MM_SHUFFLE(2, 3, 0, 1)));
        return static_cast<std::uint32_t>(_mm_cvtsi128_si32(lanes));
    }
};

struct avx2_pixels {
    using vec = __m256i;
    static constexpr std::int64_t step = 16;
    [[gnu::target("avx2")]] static vec widen(const std::uint8_t* from) noexcept {
        return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(from)));
    }
    [[gnu::target("avx2")]] static vec add_squared_differences(vec sums, vec a, vec b) noexcept {
        const vec difference = _mm256_sub_epi16(a, b);
        return _mm256_add_epi32(sums, _mm256_madd_epi16(difference, difference));
    }
    [[gnu::target("avx2")]] static std::uint32_t total(vec lanes) noexcept {
        return sse2_pixels::total(
            _mm_add_epi32(_mm256_castsi256_si128(lanes), _mm256_extracti128_si256(lanes, 1)));
    }
};

struct avx512_pixels {
    using vec = __m512i;
    static constexpr std::int64_t step = 32;
    [[gnu::target("avx512f,avx512bw")]] static vec widen(const std::uint8_t* from) noexcept {
        return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(from)));
    }
    [[gnu::target("avx512f,avx512bw")]] static vec add_squared_differences(vec sums, vec a,
                                                                           vec b) noexcept {
        const vec difference = _mm512_sub_epi16(a, b);
        return _mm512_add_epi32(sums, _mm512_madd_epi16(difference, difference));
    }
    // Wrapping, as the expansion needs. The halves come from extracts under
    // an all-ones mask: GCC 12's plain extracts, casts and reductions draw
    // false uninitialised-value warnings from its own headers.
    [[gnu::target("avx512f")]] static std::uint32_t total(vec lanes) noexcept {
        return avx2_pixels::total(_mm256_add_epi32(_mm512_maskz_extracti64x4_epi64(0xFF, lanes, 0),
                                                   _mm512_maskz_extracti64x4_epi64(0xFF, lanes, 1)));
    }
};

template <class Pixels>
struct difference_tiles {
    template <int Rows, int Cols>
    static void sums(const tile_block& block, std::uint32_t* __restrict sums) noexcept {
        using vec = typename Pixels::vec;
        vec lanes[Rows][Cols] = {};
        std::int64_t p = block.start;
        for (; p + Pixels::step <= block.stop; p += Pixels::step) {
            vec first[Rows];
#pragma GCC unroll 16
            for (int r = 0; r < Rows; ++r) {
                first[r] = Pixels::widen(block.first_rows[r] + p);
            }
#pragma GCC unroll 16
            for (int c = 0; c < Cols; ++c) {
                const vec second = Pixels::widen(block.second_rows[c] + p);
#pragma GCC unroll 16
                for (int r = 0; r < Rows; ++r) {
                    lanes[r][c] = Pixels::add_squared_differences(lanes[r][c], first[r], second);
                }
            }
        }
#pragma GCC unroll 16
        for (int r = 0; r < Rows; ++r) {
#pragma GCC unroll 16
            for (int c = 0; c < Cols; ++c) {
                sums[r * Cols + c] =
                    Pixels::total(lanes[r][c]) +
                    scalar_ssd(block.first_rows[r] + p, block.second_rows[c] + p, block.stop - p);
            }
        }
    }
};

// ---------------------------------------------------------------------------
// Expansion, for AVX-512 only. With flip = 0x80 in every byte, which as a
// signed byte is -128, and a, b the pixels of the first and second row
// (unsigned bytes):
//
//   first_terms  = dot(a, a ^ flip) + dot(a, flip)     = sum(a^2) - 256 sum(a)
//   second_terms = dot(b, flip - b) + dot(b, flip)     = -sum(b^2)
//   cross        = dot(a, b ^ flip)                    = sum(a b) - 128 sum(a)
//
// where dot(u, s) sums unsigned bytes u times signed bytes s, a ^ flip is
// a - 128 and flip - b is 128 - b as signed bytes. 128 - b does not fit a
// signed byte for b = 0 only, and there it multiplies b = 0. Then
//
//   first_terms - second_terms - 2 cross = sum(a^2) + sum(b^2) - 2 sum(a b).

[[gnu::target("avx512f,avx512vnni")]] inline __m512i add_dot(__m512i sums, __m512i unsigned_bytes,
                                                              __m512i signed_bytes) noexcept {
    return _mm512_dpbusd_epi32(sums, unsigned_bytes, signed_bytes);
}

struct expansion_tiles_avx512_vnni {
    static constexpr std::int64_t step = 64;

    template <int Rows, int Cols>
    [[gnu::target("avx512f,avx512bw,avx512vnni")]] static void sums(
        const tile_block& block, std::uint32_t* __restrict sums) noexcept {
        const __m512i flip = _mm512_set1_epi8(-128);
        __m512i first_terms[Rows] = {};
        __m512i second_terms[Cols] = {};
        __m512i cross[Rows][Cols] = {};
        std::int64_t p = block.start;
        for (; p + step <= block.stop; p += step) {
            __m512i first[Rows];
#pragma GCC unroll 16
            for (int r = 0; r < Rows; ++r) {
                first[r] = _mm512_loadu_si512(block.first_rows[r] + p);
                first_terms[r] = add_dot(first_terms[r], first[r], _mm512_xor_si512(first[r], flip));
                first_terms[r] = add_dot(first_terms[r], first[r], flip);
            }
#pragma GCC unroll 16
            for (int c = 0; c < Cols; ++c) {
                const __m512i second = _mm512_loadu_si512(block.second_rows[c] + p);
                second_terms[c] = add_dot(second_terms[c], second, _mm512_sub_epi8(flip, second));
                second_terms[c] = add_dot(second_terms[c], second, flip);
                const __m512i second_signed = _mm512_xor_si512(second, flip);
#pragma GCC unroll 16
                for (int r = 0; r < Rows; ++r) {
                    cross[r][c] = add_dot(cross[r][c], first[r], second_signed);
                }
            }
        }
#pragma GCC unroll 16
        for (int r = 0; r < Rows; ++r) {
            const std::uint32_t first_total = avx512_pixels::total(first_terms[r]);
#pragma GCC unroll 16
            for (int c = 0; c < Cols; ++c) {
                sums[r * Cols + c] =
                    first_total - avx512_pixels::total(second_terms[c]) -
                    2 * avx512_pixels::total(cross[r][c]) +
                    scalar_ssd(block.first_rows[r] + p, block.second_rows[c] + p, block.stop - p);
            }
        }
    }
};

// ---------------------------------------------------------------------------
// Entry points: `Tiles` compiled for the instruction set `isa`, one function
// per tile shape.

#define MORVANE_TILE_ENTRIES(name, isa, tiles)                                               \
    struct name {                                                                            \
        template <int Rows, int Cols>                                                        \
        [[gnu::target(isa), gnu::flatten]] static void sums(const tile_block& block,         \
                                                            std::uint32_t* sums) noexcept {  \
            tiles::template sums<Rows, Cols>(block, sums);                                   \
        }                                                                                    \
    };

MORVANE_TILE_ENTRIES(baseline_entries, "sse2", difference_tiles<sse2_pixels>)
MORVANE_TILE_ENTRIES(avx2_entries, "avx2", difference_tiles<avx2_pixels>)
MORVANE_TILE_ENTRIES(avx512_entries, "avx512f,avx512bw", difference_tiles<avx512_pixels>)
MORVANE_TILE_ENTRIES(avx512_vnni_entries, "avx512f,avx512bw,avx512vnni",
                     expansion_tiles_avx512_vnni)
#undef MORVANE_TILE_ENTRIES

using tile_entry = void (*)(const tile_block&, std::uint32_t*) noexcept;

// Entries::sums for every shape up to TileRows x TileCols, shape by shape
// in row-major order.
template <class Entries, int TileRows, int TileCols, int... Shapes>
constexpr std::array<tile_entry, sizeof...(Shapes)> entries_by_shape(
    std::integer_sequence<int, Shapes...>) noexcept {
    return {&Entries::template sums<Shapes / TileCols + 1, Shapes % TileCols + 1>...};
}

// The tile_ssd_function of one path: picks the instantiation of the tile's
// shape.
template <class Entries, int TileRows, int TileCols>
void tile_ssd(const std::uint8_t* const* __restrict first_rows, int rows,
              const std::uint8_t* const* __restrict second_rows, int cols, std::int64_t start,
              std::int64_t count, std::uint32_t* __restrict sums) noexcept {
    static_assert(TileRows <= max_tile_side && TileCols <= max_tile_side);
    static constexpr auto entries = entries_by_shape<Entries, TileRows, TileCols>(
        std::make_integer_sequence<int, TileRows * TileCols>{});
    entries[(rows - 1) * TileCols + (cols - 1)]({first_rows, second_rows, start, start + count},
                                                sums);
}

template <class Entries, int TileRows, int TileCols>
constexpr tile_ssd_kernel kernel_of() noexcept {
    return {TileRows, TileCols, tile_ssd<Entries, TileRows, TileCols>};
}

}  // namespace

// The largest tiles whose sums stay in registers together with the rows they
// are formed from: 2 x 3 in the 16 vector registers of SSE2 and AVX2, 4 x 4 in
// the 32 of AVX-512.
tile_ssd_kernel tile_ssd_kernel_for(simd_path path) noexcept {
    switch (path) {
        case simd_path::avx512_vnni: return kernel_of<avx512_vnni_entries, 4, 4>();
        case simd_path::avx512: return kernel_of<avx512_entries, 4, 4>();
        case simd_path::avx2: return kernel_of<avx2_entries, 2, 3>();
        case simd_path::baseline: break;
    }
    return kernel_of<baseline_entries, 2, 3>();
}

}  // namespace morvane::pixelwise
