// The two parallel passes of the separable SSIM window over one plane pair.
#pragma once

#include <cstdint>

#include "../../extension_frame/parallel/view_layout.hpp"

namespace morvane::structural {

// Every input row first_row <= h < end_row of plane n: the products x*x, y*y,
// x*y into the thread's row prod[t], then the five components filtered along
// the row into hsum[h] (height, 5, out_w). Run by `threads` threads (at most
// prod's rows), each row by exactly one of them.
void horizontal_window_pass(std::int64_t n, const view_layout& planes1,
                            const view_layout& planes2, const view_layout& kernel,
                            std::int64_t width, std::int64_t taps, const view_layout& hsum,
                            const view_layout& prod, std::int64_t first_row,
                            std::int64_t end_row, int threads) noexcept;

// Every output row first_row <= ho < end_row, whose hsum rows must be
// filtered already: the window completed down the columns of hsum, the
// luminance and contrast-structure terms per pixel, and their float64 row
// sums into row_l_cs[ho] and row_cs[ho]. Run by `threads` threads (at most
// vrow's rows), each row by exactly one of them.
void vertical_window_pass(const view_layout& kernel, std::int64_t taps, std::int64_t out_w,
                          const view_layout& hsum, const view_layout& vrow,
                          const view_layout& row_l_cs, const view_layout& row_cs, float c1,
                          float c2, float two, std::int64_t first_row, std::int64_t end_row,
                          int threads) noexcept;

}  // namespace morvane::structural
