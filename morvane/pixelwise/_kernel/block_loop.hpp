// The parallel loop of the difference kernel over (tile of pairs, block) work
// items.
#pragma once

#include <cstdint>

#include "../../extension_frame/parallel/view_layout.hpp"

namespace morvane::pixelwise {

struct block_loop_inputs {
    const view_layout& flat1;     // (N, P) uint8
    const view_layout& flat2;     // (M, P) uint8
    std::int64_t count1;          // N >= 1
    std::int64_t count2;          // M >= 1
    std::int64_t pixels;          // P >= 1
    std::int64_t blocks;          // ceil(P / block_pixels)
    const view_layout& partials;  // (N * M, blocks) int64, written here
};

// For every pair (row-major over the rows of flat1 and flat2, pair index
// row1 * M + row2) and every block: partials[pair, block] = the summed squared
// difference of the pair over that block's pixels. Each element is written
// once, by one thread of a team of at most `requested_threads` (>= 1).
void run_block_loop(const block_loop_inputs& inputs, std::int32_t requested_threads) noexcept;

}  // namespace morvane::pixelwise
