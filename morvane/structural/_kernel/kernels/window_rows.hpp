// Row kernels of the separable SSIM window.
//
// Pure kernels: pointers, counts and element strides only, no interpreter and
// no threads. Every value is a float32 operation rounded on its own (no fused
// multiply-add, no reassociation); vector lanes only ever hold different
// output columns (or, for the float64 row sums, different output rows), so
// every path gives the bits of the scalar definition.
#pragma once

#include <cstdint>

#include "../../../extension_frame/parallel/simd_path.hpp"

namespace morvane::structural {

// Component rows, in this order: x, y, x*x, y*y, x*y.
inline constexpr std::int64_t moment_components = 5;

struct window_row_kernels {
    // Input rows r = 0 .. row_count - 1 of `width` samples of each plane
    // (rows `x_row_stride` and `y_row_stride` floats apart). For each row:
    // the products x*x, y*y, x*y into prod[0 .. 3) (sub-rows `prod_stride`
    // floats apart), then, for each component c with source row S_c (x, y,
    // then the three product rows) and every wo < width - tap_count + 1, with
    // H the row's hsum (hsum + r * hsum_row_stride):
    //   H[c * hsum_stride + wo] = taps[0] * S_c[wo], then for j = 1 ..
    //   tap_count - 1 in order: (S_c[wo + j] * taps[j]) + previous.
    void (*horizontal)(const float* __restrict x, std::int64_t x_row_stride,
                       const float* __restrict y, std::int64_t y_row_stride,
                       std::int64_t row_count, const float* __restrict taps,
                       std::int64_t tap_count, std::int64_t width, float* __restrict prod,
                       std::int64_t prod_stride, float* __restrict hsum,
                       std::int64_t hsum_row_stride, std::int64_t hsum_stride) noexcept;

    // Output rows ho = 0 .. row_count - 1, whose windows cover the hsum rows
    // ho .. ho + tap_count - 1 (rows `hsum_row_stride` floats apart, components
    // `hsum_stride` floats apart within a row). For each row and column wo:
    // the moments mu1, mu2, e11, e22, e12 (components 0 .. 4) are the vertical
    // window sums, taps[0] * hsum[ho], then for j = 1 .. tap_count - 1 in
    // order (hsum[ho + j] * taps[j]) + previous; then, every operation a
    // float32 one rounded on its own,
    //   mu11 = mu1 * mu1, mu12 = mu1 * mu2, mu22 = mu2 * mu2,
    //   lum = (two * mu12 + c1) / ((mu11 + mu22) + c1),
    //   cs = ((e12 - mu12) * two + c2) / (((e11 - mu11) + (e22 - mu22)) + c2),
    // with no guard on the divisions. row_cs[ho] is 0.0 + cs(0) + cs(1) + ...
    // and row_l_cs[ho] is 0.0 + float32(lum * cs)(0) + ..., float64 additions
    // strictly from left to right. A row's moments stay in registers.
    void (*vertical)(const float* __restrict hsum, std::int64_t hsum_row_stride,
                     std::int64_t hsum_stride, const float* __restrict taps,
                     std::int64_t tap_count, std::int64_t out_w,
                     std::int64_t row_count, float c1, float c2, float two,
                     double* __restrict row_l_cs, double* __restrict row_cs) noexcept;
};

window_row_kernels window_row_kernels_for(simd_path path) noexcept;

}  // namespace morvane::structural
