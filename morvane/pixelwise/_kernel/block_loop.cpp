#include "block_loop.hpp"

#include <algorithm>

#include "../../extension_frame/parallel/parallel_loop.hpp"
#include "kernels/block_ssd.hpp"

namespace morvane::pixelwise {

void run_block_loop(const block_loop_inputs& inputs, std::int64_t work_count,
                    int team_size) noexcept {
    const block_ssd_kernel block_ssd = block_ssd_kernel_for(active_simd_path());
    parallel_ranges(work_count, team_size, [&](std::int64_t begin, std::int64_t end, int) {
        for (std::int64_t work = begin; work < end; ++work) {
            const std::int64_t pair = work / inputs.blocks;
            const std::int64_t block = work % inputs.blocks;
            const std::int64_t start = block * block_pixels;
            const std::int64_t stop = std::min(start + block_pixels, inputs.pixels);
            const auto* row1 = inputs.flat1.row<const std::uint8_t>(pair / inputs.count2);
            const auto* row2 = inputs.flat2.row<const std::uint8_t>(pair % inputs.count2);
            inputs.partials.row<std::int64_t>(pair)[block] =
                block_ssd(row1 + start, row2 + start, stop - start);
        }
    });
}

}  // namespace morvane::pixelwise
