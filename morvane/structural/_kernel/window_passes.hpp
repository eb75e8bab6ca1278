// The two passes of the separable SSIM window over one plane pair, run in
// parallel.
#pragma once

#include <cstdint>

#include "../../extension_frame/parallel/view_layout.hpp"

namespace morvane::structural {

// What the passes over a plane read and write: the call's views (the
// driver's descriptors), its sizes and its constants.
struct window_pass_record {
    const view_layout& planes1;
    const view_layout& planes2;
    const view_layout& kernel;
    const view_layout& hsum;      // (height, 5, out_w), shared by the team
    const view_layout& prod;      // (rows, 3, width), row t for thread t
    const view_layout& row_l_cs;  // (out_h,)
    const view_layout& row_cs;    // (out_h,)
    std::int64_t width;
    std::int64_t height;
    std::int64_t taps;
    std::int64_t out_w;
    std::int64_t out_h;
    float c1;
    float c2;
    float two;
};

// Both passes over plane n, run by `threads` threads (at most the rows of
// prod, and of the plane): every input row h is filtered along the
// row into hsum[h] and every output row ho summed down the columns of hsum
// into row_l_cs[ho] and row_cs[ho], each by exactly one thread. Returns when
// the whole team has finished.
void window_passes(const window_pass_record& record, std::int64_t n, int threads) noexcept;

}  // namespace morvane::structural
