// Row kernels of the separable SSIM window, one set per instruction set.
//
// The kernels are written once, over a set of lane operations (a vector of
// floats with load, store, broadcast, the four arithmetic operations and a few
// lane moves), and instantiated for SSE2, AVX2 and AVX-512, with single lanes
// for rows narrower than a vector. Each arithmetic lane operation is one
// float32 instruction rounded on its own and lanes only ever hold different
// output columns (or, for the float64 row sums, different rows), so every
// path and every vector width gives the bits of the scalar definition,
// provided the build keeps multiplies and adds from being fused
// (-ffp-contract=off).
//
// GCC does not inline an intrinsic into a function compiled without its
// instruction set, so the generic code carries no target of its own: each
// entry point is compiled for its set and flattened, which inlines the whole
// kernel into it, where the intrinsics are allowed. Loops over components,
// vectors, windows and shifts have fixed trip counts and are unrolled, so that
// their values stay in registers.
#include "window_rows.hpp"

// GCC 12's AVX-512 intrinsics hand their instructions a deliberately
// self-initialised placeholder for the lanes that a mask would keep (with the
// full mask they use, none), and GCC then warns about it as maybe
// uninitialised wherever such an intrinsic is inlined (GCC bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <algorithm>
#include <array>
#include <type_traits>
#include <utility>

// Before flattening, the generic code passes vectors between functions that
// are not compiled for their instruction set, and GCC warns that the calling
// convention of such a call would change; after flattening no call remains.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace morvane::structural {
namespace {

// Calls f(std::integral_constant<int, i>{}) for i = 0 .. Count - 1 in order,
// so that i can choose an instruction's immediate operand.
template <class F, int... Indices>
void for_each_constant(std::integer_sequence<int, Indices...>, const F& f) noexcept {
    (f(std::integral_constant<int, Indices>{}), ...);
}

template <int Count, class F>
void for_each_constant(const F& f) noexcept {
    for_each_constant(std::make_integer_sequence<int, Count>{}, f);
}

// One lane: every path's steps for rows narrower than a vector.
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

// The lane operations that every instruction set spells alike: `vector`
// holds `count` floats, and its intrinsics are named `prefix`_loadu_ps and so
// on. The interleaves work within each 128-bit block of the vectors.
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
        /* Per block: a0 b0 a1 b1. */                                                         \
        [[gnu::target(isa)]] static vec interleave_lower(vec a, vec b) noexcept {             \
            return prefix##_unpacklo_ps(a, b);                                                \
        }                                                                                     \
        /* Per block: a2 b2 a3 b3. */                                                         \
        [[gnu::target(isa)]] static vec interleave_upper(vec a, vec b) noexcept {             \
            return prefix##_unpackhi_ps(a, b);                                                \
        }                                                                                     \
        /* Per block: a0 a1 b0 b1. */                                                         \
        [[gnu::target(isa)]] static vec lower_pairs(vec a, vec b) noexcept {                  \
            return prefix##_castpd_ps(                                                        \
                prefix##_unpacklo_pd(prefix##_castps_pd(a), prefix##_castps_pd(b)));          \
        }                                                                                     \
        /* Per block: a2 a3 b2 b3. */                                                         \
        [[gnu::target(isa)]] static vec upper_pairs(vec a, vec b) noexcept {                  \
            return prefix##_castpd_ps(                                                        \
                prefix##_unpackhi_pd(prefix##_castps_pd(a), prefix##_castps_pd(b)));          \
        }                                                                                     \
    };

MORVANE_FLOAT_LANES(sse2_common_lanes, "sse2", __m128, 4, _mm)
MORVANE_FLOAT_LANES(avx2_common_lanes, "avx2", __m256, 8, _mm256)
MORVANE_FLOAT_LANES(avx512_common_lanes, "avx512f", __m512, 16, _mm512)
#undef MORVANE_FLOAT_LANES

// Four float64 sums side by side: add_widened widens each of four floats
// exactly and adds it to its own sum, one float64 addition per sum.
struct sse2_four_sums {
    struct sums {
        __m128d low;
        __m128d high;
    };
    [[gnu::target("sse2")]] static sums load(const double* from) noexcept {
        return {_mm_loadu_pd(from), _mm_loadu_pd(from + 2)};
    }
    [[gnu::target("sse2")]] static void store(double* to, sums value) noexcept {
        _mm_storeu_pd(to, value.low);
        _mm_storeu_pd(to + 2, value.high);
    }
    [[gnu::target("sse2")]] static sums add_widened(sums running, __m128 four) noexcept {
        return {_mm_add_pd(running.low, _mm_cvtps_pd(four)),
                _mm_add_pd(running.high, _mm_cvtps_pd(_mm_movehl_ps(four, four)))};
    }
};

struct avx_four_sums {
    using sums = __m256d;
    [[gnu::target("avx")]] static sums load(const double* from) noexcept {
        return _mm256_loadu_pd(from);
    }
    [[gnu::target("avx")]] static void store(double* to, sums value) noexcept {
        _mm256_storeu_pd(to, value);
    }
    [[gnu::target("avx")]] static sums add_widened(sums running, __m128 four) noexcept {
        return _mm256_add_pd(running, _mm256_cvtps_pd(four));
    }
};

// Each set adds: block<q>(v), the 128-bit block q of v; its four_sums; and
// shifts_in_registers, whether the horizontal pass cuts shifted samples out
// of registers (with concat_shifted) for some taps. SSE2 and AVX2 need two
// shuffles for most shifts across vectors (AVX2 to cross its 128-bit
// blocks), which cost more than the loads they would save.
struct sse2_lanes : sse2_common_lanes {
    using four_sums = sse2_four_sums;
    static constexpr bool shifts_in_registers = false;

    template <int Block>
    static __m128 block(vec v) noexcept {
        return v;
    }
};

struct avx2_lanes : avx2_common_lanes {
    using four_sums = avx_four_sums;
    static constexpr bool shifts_in_registers = false;

    template <int Block>
    [[gnu::target("avx2")]] static __m128 block(vec v) noexcept {
        return _mm256_extractf128_ps(v, Block);
    }
};

struct avx512_lanes : avx512_common_lanes {
    using four_sums = avx_four_sums;
    static constexpr bool shifts_in_registers = true;

    // The `lanes` floats that start `Shift` floats into `low` and run on into
    // `high`: one valignd.
    template <int Shift>
    [[gnu::target("avx512f")]] static vec concat_shifted(vec low, vec high) noexcept {
        return _mm512_castsi512_ps(
            _mm512_alignr_epi32(_mm512_castps_si512(high), _mm512_castps_si512(low), Shift));
    }

    template <int Block>
    [[gnu::target("avx512f")]] static __m128 block(vec v) noexcept {
        return _mm512_extractf32x4_ps(v, Block);
    }
};

// `Vectors` vectors of `Lanes` side by side: the columns that one step of a
// kernel handles.
template <class Lanes, int Vectors>
struct column_block {
    using ops = Lanes;
    using vec = typename Lanes::vec;
    static constexpr int vectors = Vectors;
    static constexpr std::int64_t columns = Vectors * Lanes::lanes;
};

// Calls step(block, column, repeated) for consecutive blocks covering the
// columns first .. end - 1: blocks of `Wide` vectors while they fit, then
// single vectors. The columns left over, fewer than a vector, are covered by
// one more vector that ends at `end` and so repeats the `repeated` columns
// before them (one vector step instead of a scalar step per column), or by
// single lanes where the row is narrower than a vector.
template <class Lanes, int Wide, class Step>
void for_column_blocks(std::int64_t first, std::int64_t end, const Step& step) noexcept {
    using wide = column_block<Lanes, Wide>;
    using single = column_block<Lanes, 1>;
    for (; first + wide::columns <= end; first += wide::columns) {
        step(wide{}, first, 0);
    }
    if constexpr (Wide > 1) {
        for (; first + single::columns <= end; first += single::columns) {
            step(single{}, first, 0);
        }
    }
    if (first == end) {
        return;
    }
    if (end >= single::columns) {
        step(single{}, end - single::columns, first - (end - single::columns));
        return;
    }
    for (; first < end; ++first) {
        step(column_block<scalar_lanes, 1>{}, first, 0);
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

// How many floats past the end of a block's columns shifted_window_sums
// reads: the whole vectors that the last group of `lanes` taps reaches.
template <class Lanes>
std::int64_t shifted_read_past(std::int64_t tap_count) noexcept {
    return ((tap_count - 1) / Lanes::lanes + 1) * Lanes::lanes;
}

// What window_sums<Block, 1>(first, 1, taps, tap_count) gives along a row,
// with about half the loads: per group of `lanes` taps the row's vectors past
// `first` are loaded once, and tap j = g * lanes + s of vector v takes the
// samples s floats into the vectors g + v and g + v + 1: for even s shifted
// into place in registers, for odd s loaded from memory. The shifts compete
// with the arithmetic for its ports and the loads do not; half and half
// keeps both busy. Reads shifted_read_past(tap_count) floats past the block.
template <class Block>
moment_block<Block, 1> shifted_window_sums(const component_rows& first,
                                           const float* __restrict taps,
                                           std::int64_t tap_count) noexcept {
    using ops = typename Block::ops;
    using vec = typename Block::vec;
    constexpr std::int64_t lanes = ops::lanes;
    moment_block<Block, 1> sums;
    const vec first_tap = ops::broadcast(taps[0]);
#pragma GCC unroll 16
    for (std::int64_t c = 0; c < moment_components; ++c) {
#pragma GCC unroll 16
        for (int v = 0; v < Block::vectors; ++v) {
            sums.lanes[0][c][v] = ops::mul(ops::load(first[c] + v * lanes), first_tap);
        }
    }
    for (std::int64_t group = 0; group * lanes < tap_count; ++group) {
        vec sources[moment_components][Block::vectors + 1];
#pragma GCC unroll 16
        for (std::int64_t c = 0; c < moment_components; ++c) {
#pragma GCC unroll 16
            for (int v = 0; v <= Block::vectors; ++v) {
                sources[c][v] = ops::load(first[c] + (group + v) * lanes);
            }
        }
        for_each_constant<lanes>([&](auto shift_constant) {
            constexpr int shift = decltype(shift_constant)::value;
            const std::int64_t j = group * lanes + shift;
            if (j == 0 || j >= tap_count) {
                return;
            }
            const vec tap = ops::broadcast(taps[j]);
#pragma GCC unroll 16
            for (std::int64_t c = 0; c < moment_components; ++c) {
#pragma GCC unroll 16
                for (int v = 0; v < Block::vectors; ++v) {
                    vec samples = sources[c][v];
                    if constexpr (shift % 2 == 1) {
                        samples = ops::load(first[c] + (group + v) * lanes + shift);
                    } else if constexpr (shift > 0) {
                        samples = ops::template concat_shifted<shift>(samples, sources[c][v + 1]);
                    }
                    vec& sum = sums.lanes[0][c][v];
                    sum = ops::add(ops::mul(samples, tap), sum);
                }
            }
        });
    }
    return sums;
}

// Stores the window sums of one block at `hsum`, components `stride` floats apart.
template <class Block>
void store_moments(const moment_block<Block, 1>& sums, float* __restrict hsum,
                   std::int64_t stride) noexcept {
    using ops = typename Block::ops;
#pragma GCC unroll 16
    for (std::int64_t c = 0; c < moment_components; ++c) {
#pragma GCC unroll 16
        for (int v = 0; v < Block::vectors; ++v) {
            ops::store(hsum + c * stride + v * ops::lanes, sums.lanes[0][c][v]);
        }
    }
}

// Floats per cache line: what one prefetch brings in.
constexpr std::int64_t line_floats = 64 / sizeof(float);

// One input row. The samples of the row after it, `next_x` and `next_y`, are
// fetched into the caches along the way: the filter spends long enough on
// each block of columns for them to arrive, whereas the product loop, which
// reads the row first, runs too fast for the hardware prefetcher to keep up.
template <class Lanes>
void horizontal_row(const float* __restrict x, const float* __restrict y,
                    const float* next_x, const float* next_y, const float* __restrict taps,
                    std::int64_t tap_count, std::int64_t width, float* __restrict prod,
                    std::int64_t prod_stride, float* __restrict hsum,
                    std::int64_t hsum_stride) noexcept {
    float* const xx = prod;
    float* const yy = prod + prod_stride;
    float* const xy = prod + 2 * prod_stride;
    for_column_blocks<Lanes, 2>(0, width, [&](auto block, std::int64_t w, std::int64_t) {
        multiply_block<decltype(block)>(x + w, y + w, xx + w, yy + w, xy + w);
    });
    const component_rows sources{x, y, xx, yy, xy};
    const auto fetch_next_row = [&](std::int64_t first, std::int64_t columns) {
        for (std::int64_t line = 0; line < columns; line += line_floats) {
            __builtin_prefetch(next_x + first + line);
            __builtin_prefetch(next_y + first + line);
        }
    };
    // Two vectors per component keep ten independent sums in flight. Where
    // the lanes shift in registers, they do so while the vectors that the
    // samples are cut from lie within the row; the other columns load the
    // samples of every tap.
    std::int64_t wo = 0;
    if constexpr (Lanes::shifts_in_registers) {
        using wide = column_block<Lanes, 2>;
        const std::int64_t shifted_end = width - shifted_read_past<Lanes>(tap_count);
        for (; wo + wide::columns <= shifted_end; wo += wide::columns) {
            fetch_next_row(wo, wide::columns);
            store_moments(shifted_window_sums<wide>(shifted(sources, wo), taps, tap_count),
                          hsum + wo, hsum_stride);
        }
    }
    for_column_blocks<Lanes, 2>(
        wo, width - tap_count + 1, [&](auto block, std::int64_t column, std::int64_t) {
            using block_type = decltype(block);
            fetch_next_row(column, block_type::columns);
            store_moments(
                window_sums<block_type, 1>(shifted(sources, column), 1, taps, tap_count),
                hsum + column, hsum_stride);
        });
}

template <class Lanes>
void horizontal_rows(const float* __restrict x, std::int64_t x_row_stride,
                     const float* __restrict y, std::int64_t y_row_stride,
                     std::int64_t row_count, const float* __restrict taps, std::int64_t tap_count,
                     std::int64_t width, float* __restrict prod, std::int64_t prod_stride,
                     float* __restrict hsum, std::int64_t hsum_row_stride,
                     std::int64_t hsum_stride) noexcept {
    for (std::int64_t r = 0; r < row_count; ++r) {
        // The last row fetches itself again, which costs next to nothing.
        const std::int64_t next = r + 1 < row_count ? r + 1 : r;
        horizontal_row<Lanes>(x + r * x_row_stride, y + r * y_row_stride,
                              x + next * x_row_stride, y + next * y_row_stride, taps, tap_count,
                              width, prod, prod_stride, hsum + r * hsum_row_stride, hsum_stride);
    }
}

// ---------------------------------------------------------------------------
// Vertical pass.

// How many consecutive output rows go down the columns together: they share
// all but one of their hsum rows, which are then loaded once for all of them,
// and their float64 sums run side by side in the lanes of one vector.
constexpr int interleaved_rows = 4;

// The stabilising constants and the factor two, as given.
struct term_constants {
    float c1;
    float c2;
    float two;
};

// The luminance and contrast-structure terms of window o, vector v of a
// block of moments, in their fixed evaluation order: cs and the float32
// product lum * cs.
template <class Block, int Windows>
void similarity_terms(const moment_block<Block, Windows>& moments, int o, int v,
                      const term_constants& constants, typename Block::vec& l_cs,
                      typename Block::vec& cs) noexcept {
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
    cs = ops::div(ops::add(ops::mul(ops::sub(e12, mu12), two), c2),
                  ops::add(ops::add(ops::sub(e11, mu11), ops::sub(e22, mu22)), c2));
    l_cs = ops::mul(lum, cs);
}

// Four rows of terms, one vector of columns each, added into the rows' sums
// column by column: each 128-bit block of the rows is transposed in
// registers, so that one column of the four rows is one 128-bit block, which
// is widened and added to the four sums at once.
template <class Ops>
void add_columns_of_four_rows(const typename Ops::vec (&rows)[4], double (&sums)[4]) noexcept {
    using four_sums = typename Ops::four_sums;
    using vec = typename Ops::vec;
    const vec lower01 = Ops::interleave_lower(rows[0], rows[1]);
    const vec upper01 = Ops::interleave_upper(rows[0], rows[1]);
    const vec lower23 = Ops::interleave_lower(rows[2], rows[3]);
    const vec upper23 = Ops::interleave_upper(rows[2], rows[3]);
    // Block q of columns[i] holds column 4 q + i of the four rows.
    const vec columns[4] = {Ops::lower_pairs(lower01, lower23), Ops::upper_pairs(lower01, lower23),
                            Ops::lower_pairs(upper01, upper23), Ops::upper_pairs(upper01, upper23)};
    auto running = four_sums::load(sums);
    for_each_constant<Ops::lanes / 4>([&](auto block_constant) {
        constexpr int block = decltype(block_constant)::value;
#pragma GCC unroll 4
        for (int i = 0; i < 4; ++i) {
            running = four_sums::add_widened(running, Ops::template block<block>(columns[i]));
        }
    });
    four_sums::store(sums, running);
}

// `Rows` rows of terms, one vector of columns each, added into the rows'
// float64 sums column by column from left to right, starting at
// `first_column`: each term widened exactly, one float64 addition per term.
template <class Ops, int Rows>
void add_in_column_order(const typename Ops::vec (&rows)[Rows], std::int64_t first_column,
                         double (&sums)[Rows]) noexcept {
    if constexpr (Rows == 4 && Ops::lanes % 4 == 0) {
        if (first_column == 0) {
            add_columns_of_four_rows<Ops>(rows, sums);
            return;
        }
    }
    alignas(64) float terms[Rows][Ops::lanes];
#pragma GCC unroll 16
    for (int r = 0; r < Rows; ++r) {
        Ops::store(terms[r], rows[r]);
    }
    for (std::int64_t column = first_column; column < Ops::lanes; ++column) {
#pragma GCC unroll 16
        for (int r = 0; r < Rows; ++r) {
            sums[r] += static_cast<double>(terms[r][column]);
        }
    }
}

// One block of columns of `Rows` consecutive output rows: the window sums
// and the terms in vector lanes, then the terms added column by column into
// each row's float64 sums, each row's additions a strict left-to-right chain.
// The first `repeated` columns of the block are in the sums already.
template <class Block, int Rows>
void similarity_block(const float* __restrict hsum, std::int64_t hsum_row_stride,
                      std::int64_t hsum_stride, const float* __restrict taps,
                      std::int64_t tap_count, const term_constants& constants,
                      std::int64_t repeated, double (&acc_l_cs)[Rows],
                      double (&acc_cs)[Rows]) noexcept {
    using ops = typename Block::ops;
    const component_rows components = components_of(hsum, hsum_stride);
    const auto moments = window_sums<Block, Rows>(components, hsum_row_stride, taps, tap_count);
#pragma GCC unroll 16
    for (int v = 0; v < Block::vectors; ++v) {
        typename Block::vec l_cs[Rows];
        typename Block::vec cs[Rows];
#pragma GCC unroll 16
        for (int r = 0; r < Rows; ++r) {
            similarity_terms(moments, r, v, constants, l_cs[r], cs[r]);
        }
        const std::int64_t first_column = std::max<std::int64_t>(0, repeated - v * ops::lanes);
        add_in_column_order<ops, Rows>(cs, first_column, acc_cs);
        add_in_column_order<ops, Rows>(l_cs, first_column, acc_l_cs);
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
    for_column_blocks<Lanes, 1>(0, out_w, [&](auto block, std::int64_t wo, std::int64_t repeated) {
        similarity_block<decltype(block), Rows>(hsum + wo, hsum_row_stride, hsum_stride, taps,
                                                tap_count, constants, repeated, acc_l_cs, acc_cs);
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

// The kernels of one path, compiled for its instruction set.
#define MORVANE_WINDOW_ROW_ENTRIES(path, isa, lanes_type)                                     \
    [[gnu::target(isa), gnu::flatten]] void horizontal_##path(                                \
        const float* __restrict x, std::int64_t x_row_stride, const float* __restrict y,      \
        std::int64_t y_row_stride, std::int64_t row_count, const float* __restrict taps,      \
        std::int64_t tap_count, std::int64_t width, float* __restrict prod,                   \
        std::int64_t prod_stride, float* __restrict hsum, std::int64_t hsum_row_stride,       \
        std::int64_t hsum_stride) noexcept {                                                  \
        horizontal_rows<lanes_type>(x, x_row_stride, y, y_row_stride, row_count, taps,        \
                                    tap_count, width, prod, prod_stride, hsum,                \
                                    hsum_row_stride, hsum_stride);                            \
    }                                                                                         \
    [[gnu::target(isa), gnu::flatten]] void vertical_##path(                                  \
        const float* __restrict hsum, std::int64_t hsum_row_stride, std::int64_t hsum_stride, \
        const float* __restrict taps, std::int64_t tap_count, std::int64_t out_w,             \
        std::int64_t row_count, float c1, float c2, float two, double* __restrict row_l_cs,   \
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
