// Row kernels of the separable SSIM window, one set per instruction set.
//
// The kernels are written once, over a set of lane operations (a vector of
// floats with load, store, broadcast and the four arithmetic operations), and
// instantiated for SSE2, AVX2 and AVX-512, with single lanes as the scalar
// tail of every path. Each lane operation is one float32 instruction rounded
// on its own and lanes only ever hold different output columns, so every path
// and every vector width gives the bits of the scalar definition, provided
// the build keeps multiplies and adds from being fused (-ffp-contract=off).
//
// GCC does not inline an intrinsic into a function compiled without its
// instruction set, so the generic code carries no target of its own: each
// entry point is compiled for its set and flattened, which inlines the whole
// kernel into it, where the intrinsics are allowed. Loops over components,
// vectors and windows have fixed trip counts and are unrolled, so that their
// values stay in registers.
#include "window_rows.hpp"

#include <immintrin.h>

#include <array>

// Before flattening, the generic code passes vectors between functions that
// are not compiled for their instruction set, and GCC warns that the calling
// convention of such a call would change; after flattening no call remains.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace morvane::structural {
namespace {

// One lane: the scalar tail of every path.
struct scalar_lanes {
    using vec = float;
    static constexpr std::int64_t lanes = 1;
    static vec load(const float* from) noexcept { return *from; }
    static void store(float* to, vec value) noexcept { *to = value; }
    static vec broadcast(float value) noexcept { return value; }
    static vec mul(vec a, vec b) noexcept { return a * b; }
    static vec add(vec a, vec b) noexcept { return a + b; }
    static vec sub(vec a, vec b) noexcept { return a - b; }
    static vec div(vec a, vec b) noexcept { return a / b; }
};

// The lanes of one instruction set: `vector` holds `count` floats, and its
// intrinsics are named `prefix`_loadu_ps and so on.
#define MORVANE_FLOAT_LANES(name, isa, vector, count, prefix)                                 \
    struct name {                                                                             \
        using vec = vector;                                                                   \
        static constexpr std::int64_t lanes = count;                                          \
        [[gnu::target(isa)]] static vec load(const float* from) noexcept {                    \
            return prefix##_loadu_ps(from);                                                   \
        }                                                                                     \
        [[gnu::target(isa)]] static void store(float* to, vec value) noexcept {               \
            prefix##_storeu_ps(to, value);                                                    \
        }                                                                                     \
        [[gnu::target(isa)]] static vec broadcast(float value) noexcept {                     \
            return prefix##_set1_ps(value);                                                   \
        }                                                                                     \
        [[gnu::target(isa)]] static vec mul(vec a, vec b) noexcept {                          \
            return prefix##_mul_ps(a, b);                                                     \
        }                                                                                     \
        [[gnu::target(isa)]] static vec add(vec a, vec b) noexcept {                          \
            return prefix##_add_ps(a, b);                                                     \
        }                                                                                     \
        [[gnu::target(isa)]] static vec sub(vec a, vec b) noexcept {                          \
            return prefix##_sub_ps(a, b);                                                     \
        }                                                                                     \
        [[gnu::target(isa)]] static vec div(vec a, vec b) noexcept {                          \
            return prefix##_div_ps(a, b);                                                     \
        }                                                                                     \
    };

MORVANE_FLOAT_LANES(sse2_lanes, "sse2", __m128, 4, _mm)
MORVANE_FLOAT_LANES(avx2_lanes, "avx2", __m256, 8, _mm256)
MORVANE_FLOAT_LANES(avx512_lanes, "avx512f", __m512, 16, _mm512)
#undef MORVANE_FLOAT_LANES

// `Vectors` vectors of `Lanes` side by side: the columns that one step of a
// kernel handles.
template <class Lanes, int Vectors>
struct column_block {
    using ops = Lanes;
    using vec = typename Lanes::vec;
    static constexpr int vectors = Vectors;
    static constexpr std::int64_t columns = Vectors * Lanes::lanes;
};

// Calls step(block, first) for consecutive blocks covering the columns
// 0 .. count - 1: blocks of `Wide` vectors while they fit, then single
// vectors, then single lanes for the tail.
template <class Lanes, int Wide, class Step>
void for_column_blocks(std::int64_t count, const Step& step) noexcept {
    using wide = column_block<Lanes, Wide>;
    using single = column_block<Lanes, 1>;
    std::int64_t first = 0;
    for (; first + wide::columns <= count; first += wide::columns) {
        step(wide{}, first);
    }
    if constexpr (Wide > 1) {
        for (; first + single::columns <= count; first += single::columns) {
            step(single{}, first);
        }
    }
    for (; first < count; ++first) {
        step(column_block<scalar_lanes, 1>{}, first);
    }
}

// Where the five components start, in component order (x, y, x*x, y*y, x*y).
using component_rows = std::array<const float*, moment_components>;

// The components of one hsum row, `stride` floats apart.
component_rows components_of(const float* row, std::int64_t stride) noexcept {
    return {row, row + stride, row + 2 * stride, row + 3 * stride, row + 4 * stride};
}

// The same components, `columns` further along their rows.
component_rows shifted(const component_rows& rows, std::int64_t columns) noexcept {
    component_rows result;
#pragma GCC unroll 16
    for (std::int64_t c = 0; c < moment_components; ++c) {
        result[c] = rows[c] + columns;
    }
    return result;
}

// The window sums of the five components over one block of columns, for
// `Windows` windows.
template <class Block, int Windows>
struct moment_block {
    typename Block::vec lanes[Windows][moment_components][Block::vectors];
};

// Window sums for every component and column of the block, for `Windows`
// windows whose sources start `tap_step` floats apart; the source elements of
// one window lie `tap_step` floats apart too, so window o weights source
// element s with tap s - o. Each sum is built tap by tap: taps[0] * s_0, then
// (s_j * taps[j]) + sum. Every window first gets its tap 0; then the sources
// are walked in order, which keeps that tap order in every window and loads
// each source element once for all the windows it feeds.
template <class Block, int Windows>
moment_block<Block, Windows> window_sums(const component_rows& first, std::int64_t tap_step,
                                         const float* __restrict taps,
                                         std::int64_t tap_count) noexcept {
    using ops = typename Block::ops;
    using vec = typename Block::vec;
    constexpr std::int64_t lanes = ops::lanes;
    moment_block<Block, Windows> sums;
    const vec first_tap = ops::broadcast(taps[0]);
#pragma GCC unroll 16
    for (int o = 0; o < Windows; ++o) {
#pragma GCC unroll 16
        for (std::int64_t c = 0; c < moment_components; ++c) {
#pragma GCC unroll 16
            for (int v = 0; v < Block::vectors; ++v) {
                const vec sample = ops::load(first[c] + o * tap_step + v * lanes);
                sums.lanes[o][c][v] = ops::mul(sample, first_tap);
            }
        }
    }
    for (std::int64_t s = 1; s < tap_count + Windows - 1; ++s) {
        vec samples[moment_components][Block::vectors];
#pragma GCC unroll 16
        for (std::int64_t c = 0; c < moment_components; ++c) {
#pragma GCC unroll 16
            for (int v = 0; v < Block::vectors; ++v) {
                samples[c][v] = ops::load(first[c] + s * tap_step + v * lanes);
            }
        }
#pragma GCC unroll 16
        for (int o = 0; o < Windows; ++o) {
            const std::int64_t j = s - o;
            if (j < 1 || j >= tap_count) {
                continue;
            }
            const vec tap = ops::broadcast(taps[j]);
#pragma GCC unroll 16
            for (std::int64_t c = 0; c < moment_components; ++c) {
#pragma GCC unroll 16
                for (int v = 0; v < Block::vectors; ++v) {
                    vec& sum = sums.lanes[o][c][v];
                    sum = ops::add(ops::mul(samples[c][v], tap), sum);
                }
            }
        }
    }
    return sums;
}

// ---------------------------------------------------------------------------
// Horizontal pass.

// x*x, y*y and x*y of one block of samples.
template <class Block>
void multiply_block(const float* __restrict x, const float* __restrict y, float* __restrict xx,
                    float* __restrict yy, float* __restrict xy) noexcept {
    using ops = typename Block::ops;
#pragma GCC unroll 16
    for (int v = 0; v < Block::vectors; ++v) {
        const std::int64_t at = v * ops::lanes;
        const auto a = ops::load(x + at);
        const auto b = ops::load(y + at);
        ops::store(xx + at, ops::mul(a, a));
        ops::store(yy + at, ops::mul(b, b));
        ops::store(xy + at, ops::mul(a, b));
    }
}

template <class Lanes>
void horizontal_row(const float* __restrict x, const float* __restrict y,
                    const float* __restrict taps, std::int64_t tap_count, std::int64_t width,
                    float* __restrict prod, std::int64_t prod_stride, float* __restrict hsum,
                    std::int64_t hsum_stride) noexcept {
    float* const xx = prod;
    float* const yy = prod + prod_stride;
    float* const xy = prod + 2 * prod_stride;
    for_column_blocks<Lanes, 2>(width, [&](auto block, std::int64_t w) {
        multiply_block<decltype(block)>(x + w, y + w, xx + w, yy + w, xy + w);
    });
    const component_rows sources{x, y, xx, yy, xy};
    // Two vectors per component keep ten independent sums in flight.
    for_column_blocks<Lanes, 2>(width - tap_count + 1, [&](auto block, std::int64_t wo) {
        using block_type = decltype(block);
        using ops = typename block_type::ops;
        const auto sums = window_sums<block_type, 1>(shifted(sources, wo), 1, taps, tap_count);
#pragma GCC unroll 16
        for (std::int64_t c = 0; c < moment_components; ++c) {
#pragma GCC unroll 16
            for (int v = 0; v < block_type::vectors; ++v) {
                ops::store(hsum + c * hsum_stride + wo + v * ops::lanes, sums.lanes[0][c][v]);
            }
        }
    });
}

// ---------------------------------------------------------------------------
// Vertical pass.

// How many consecutive output rows go down the columns together: they share
// all but one of their hsum rows, which are then loaded once for all of them,
// and their float64 sums form independent chains whose additions overlap.
constexpr int interleaved_rows = 4;

// How far ahead along the row, in floats, the vertical pass asks for the hsum
// rows that enter its windows. The horizontal pass has written the whole
// plane, so those rows come from memory, and the windows read from more rows
// at once than the hardware prefetcher follows.
constexpr std::int64_t prefetch_distance = 256;

// The stabilising constants and the factor two, as given.
struct term_constants {
    float c1;
    float c2;
    float two;
};

// The luminance and contrast-structure terms of window o, vector v of a
// block of moments, in their fixed evaluation order. Stores cs and the
// float32 product lum * cs.
template <class Block, int Windows>
void similarity_terms(const moment_block<Block, Windows>& moments, int o, int v,
                      const term_constants& constants, float* __restrict l_cs,
                      float* __restrict cs) noexcept {
    using ops = typename Block::ops;
    const auto mu1 = moments.lanes[o][0][v];
    const auto mu2 = moments.lanes[o][1][v];
    const auto e11 = moments.lanes[o][2][v];
    const auto e22 = moments.lanes[o][3][v];
    const auto e12 = moments.lanes[o][4][v];
    const auto c1 = ops::broadcast(constants.c1);
    const auto c2 = ops::broadcast(constants.c2);
    const auto two = ops::broadcast(constants.two);
    const auto mu11 = ops::mul(mu1, mu1);
    const auto mu12 = ops::mul(mu1, mu2);
    const auto mu22 = ops::mul(mu2, mu2);
    const auto lum = ops::div(ops::add(ops::mul(two, mu12), c1), ops::add(ops::add(mu11, mu22), c1));
    const auto contrast_structure =
        ops::div(ops::add(ops::mul(ops::sub(e12, mu12), two), c2),
                 ops::add(ops::add(ops::sub(e11, mu11), ops::sub(e22, mu22)), c2));
    ops::store(cs, contrast_structure);
    ops::store(l_cs, ops::mul(lum, contrast_structure));
}

// One block of columns of `Rows` consecutive output rows: the window sums
// and the terms in vector lanes, then the terms added column by column into
// each row's float64 sums, each row's additions a strict left-to-right chain.
template <class Block, int Rows>
void similarity_block(const float* __restrict hsum, std::int64_t hsum_row_stride,
                      std::int64_t hsum_stride, const float* __restrict taps,
                      std::int64_t tap_count, const term_constants& constants,
                      double (&acc_l_cs)[Rows], double (&acc_cs)[Rows]) noexcept {
    constexpr std::int64_t lanes = Block::ops::lanes;
    const component_rows components = components_of(hsum, hsum_stride);
    // The rows that the windows reach last, further along. (Kept here: GCC
    // takes a function that only prefetches for one without effect, and may
    // drop its calls before it would inline them.)
#pragma GCC unroll 16
    for (std::int64_t c = 0; c < moment_components; ++c) {
#pragma GCC unroll 16
        for (int r = 0; r < Rows; ++r) {
            __builtin_prefetch(components[c] + (tap_count - 1 + r) * hsum_row_stride +
                               prefetch_distance);
        }
    }
    const auto moments = window_sums<Block, Rows>(components, hsum_row_stride, taps, tap_count);
    alignas(64) float l_cs[Rows][Block::columns];
    alignas(64) float cs[Rows][Block::columns];
#pragma GCC unroll 16
    for (int r = 0; r < Rows; ++r) {
#pragma GCC unroll 16
        for (int v = 0; v < Block::vectors; ++v) {
            similarity_terms(moments, r, v, constants, l_cs[r] + v * lanes, cs[r] + v * lanes);
        }
    }
    for (std::int64_t column = 0; column < Block::columns; ++column) {
#pragma GCC unroll 16
        for (int r = 0; r < Rows; ++r) {
            acc_cs[r] += static_cast<double>(cs[r][column]);
            acc_l_cs[r] += static_cast<double>(l_cs[r][column]);
        }
    }
}

template <class Lanes, int Rows>
void vertical_row_group(const float* __restrict hsum, std::int64_t hsum_row_stride,
                        std::int64_t hsum_stride, const float* __restrict taps,
                        std::int64_t tap_count, std::int64_t out_w,
                        const term_constants& constants, double* __restrict row_l_cs,
                        double* __restrict row_cs) noexcept {
    double acc_l_cs[Rows] = {};
    double acc_cs[Rows] = {};
    for_column_blocks<Lanes, 1>(out_w, [&](auto block, std::int64_t wo) {
        similarity_block<decltype(block), Rows>(hsum + wo, hsum_row_stride, hsum_stride, taps,
                                                tap_count, constants, acc_l_cs, acc_cs);
    });
#pragma GCC unroll 16
    for (int r = 0; r < Rows; ++r) {
        row_l_cs[r] = acc_l_cs[r];
        row_cs[r] = acc_cs[r];
    }
}

template <class Lanes>
void vertical_rows(const float* __restrict hsum, std::int64_t hsum_row_stride,
                   std::int64_t hsum_stride, const float* __restrict taps, std::int64_t tap_count,
                   std::int64_t out_w, std::int64_t row_count, const term_constants& constants,
                   double* __restrict row_l_cs, double* __restrict row_cs) noexcept {
    std::int64_t ho = 0;
    for (; ho + interleaved_rows <= row_count; ho += interleaved_rows) {
        vertical_row_group<Lanes, interleaved_rows>(hsum + ho * hsum_row_stride, hsum_row_stride,
                                                    hsum_stride, taps, tap_count, out_w, constants,
                                                    row_l_cs + ho, row_cs + ho);
    }
    for (; ho < row_count; ++ho) {
        vertical_row_group<Lanes, 1>(hsum + ho * hsum_row_stride, hsum_row_stride, hsum_stride,
                                     taps, tap_count, out_w, constants, row_l_cs + ho, row_cs + ho);
    }
}

// ---------------------------------------------------------------------------
// Entry points.

// The kernels of one path, compiled for its instruction set. The vertical
// kernel keeps its moments in registers, so it leaves the vrow scratch alone.
#define MORVANE_WINDOW_ROW_ENTRIES(path, isa, lanes_type)                                     \
    [[gnu::target(isa), gnu::flatten]] void horizontal_##path(                                \
        const float* __restrict x, const float* __restrict y, const float* __restrict taps,   \
        std::int64_t tap_count, std::int64_t width, float* __restrict prod,                   \
        std::int64_t prod_stride, float* __restrict hsum, std::int64_t hsum_stride) noexcept { \
        horizontal_row<lanes_type>(x, y, taps, tap_count, width, prod, prod_stride, hsum,     \
                                   hsum_stride);                                              \
    }                                                                                         \
    [[gnu::target(isa), gnu::flatten]] void vertical_##path(                                  \
        const float* __restrict hsum, std::int64_t hsum_row_stride, std::int64_t hsum_stride, \
        const float* __restrict taps, std::int64_t tap_count, std::int64_t out_w,             \
        std::int64_t row_count, float* __restrict /*vrow*/, std::int64_t /*vrow_stride*/,     \
        float c1, float c2, float two, double* __restrict row_l_cs,                           \
        double* __restrict row_cs) noexcept {                                                 \
        vertical_rows<lanes_type>(hsum, hsum_row_stride, hsum_stride, taps, tap_count, out_w, \
                                  row_count, term_constants{c1, c2, two}, row_l_cs, row_cs);  \
    }

MORVANE_WINDOW_ROW_ENTRIES(baseline, "sse2", sse2_lanes)
MORVANE_WINDOW_ROW_ENTRIES(avx2, "avx2", avx2_lanes)
MORVANE_WINDOW_ROW_ENTRIES(avx512, "avx512f", avx512_lanes)
#undef MORVANE_WINDOW_ROW_ENTRIES

}  // namespace

window_row_kernels window_row_kernels_for(simd_path path) noexcept {
    switch (path) {
        case simd_path::avx512_vnni:
        case simd_path::avx512: return {horizontal_avx512, vertical_avx512};
        case simd_path::avx2: return {horizontal_avx2, vertical_avx2};
        case simd_path::baseline: break;
    }
    return {horizontal_baseline, vertical_baseline};
}

}  // namespace morvane::structural
