// The parallel loop of the difference kernel over (pair, block) work items.
#pragma once

#include <cstdint>

#include "../../extension_frame/parallel/view_layout.hpp"

namespace morvane::pixelwise {

struct block_loop_inputs {
    const view_layout& flat1;  // (N, P) uint8
    const view_layout& flat2;  // (M, P) uint8
    std::int64_t count2;       // M >= 1
    std::int64_t pixels;       // P >= 1
    std::int64_t blocks;       // ceil(P / block_pixels)
    const view_layout& partials;  // (N * M, blocks) int64, written here
};

// For every work item w < work_count (work_count = N * M * blocks >= 1), with
// pair = w / blocks (row-major over the rows of flat1 and flat2) and
// block = w % blocks: partials[pair, block] = the summed squared difference of
// the pair over that block's pixels. Run by `team_size` threads.
void run_block_loop(const block_loop_inputs& inputs, std::int64_t work_count,
                    int team_size) noexcept;

}  // namespace morvane::pixelwise
