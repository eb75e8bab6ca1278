#include "block_loop.hpp"

#include <algorithm>

#include "../../extension_frame/parallel/parallel_loop.hpp"
#include "../../extension_frame/parallel/team_size.hpp"
#include "kernels/block_ssd.hpp"

namespace morvane::pixelwise {
namespace {

// `count` consecutive rows of one batch, from row `first`.
struct row_run {
    std::int64_t first;
    int count;
};

// A batch of `rows` rows cut into runs of `side` rows, the last possibly
// shorter.
struct row_runs {
    std::int64_t rows;
    int side;
    std::int64_t count;

    row_runs(std::int64_t rows, int side) noexcept
        : rows(rows), side(side), count((rows + side - 1) / side) {}

    row_run operator[](std::int64_t run) const noexcept {
        const std::int64_t first = run * side;
        return {first, static_cast<int>(std::min<std::int64_t>(side, rows - first))};
    }
};

void row_starts(const view_layout& batch, row_run run, const std::uint8_t** starts) noexcept {
    for (int r = 0; r < run.count; ++r) {
        starts[r] = batch.row<const std::uint8_t>(run.first + r);
    }
}

// One work item: the pairs of run1 x run2 over one block, each stored as its
// partial of that block.
void sum_tile_block(const block_loop_inputs& inputs, tile_ssd_function tile_ssd, row_run run1,
                    row_run run2, std::int64_t block) noexcept {
    const std::uint8_t* rows1[max_tile_side];
    const std::uint8_t* rows2[max_tile_side];
    row_starts(inputs.flat1, run1, rows1);
    row_starts(inputs.flat2, run2, rows2);
    const std::int64_t start = block * block_pixels;
    std::uint32_t sums[max_tile_side * max_tile_side];
    tile_ssd(rows1, run1.count, rows2, run2.count, start,
             std::min(block_pixels, inputs.pixels - start), sums);
    for (int r = 0; r < run1.count; ++r) {
        const std::int64_t first_pair = (run1.first + r) * inputs.count2 + run2.first;
        for (int c = 0; c < run2.count; ++c) {
            inputs.partials.row<std::int64_t>(first_pair + c)[block] = sums[r * run2.count + c];
        }
    }
}

}  // namespace

// Work items go block by block, and within a block row-major over the tiles
// (run of flat1 rows, run of flat2 rows). A thread's contiguous range of items
// thus stays within a block or two, keeps its flat1 rows while it walks along
// the flat2 rows, and comes back to the same block of the flat2 rows, likely
// still cached, for its next run of flat1 rows.
void run_block_loop(const block_loop_inputs& inputs, std::int32_t requested_threads) noexcept {
    const tile_ssd_kernel kernel = tile_ssd_kernel_for(active_simd_path());
    const row_runs runs1(inputs.count1, kernel.tile_rows);
    const row_runs runs2(inputs.count2, kernel.tile_cols);
    const std::int64_t tiles = runs1.count * runs2.count;
    const std::int64_t items = tiles * inputs.blocks;
    parallel_ranges(items, loop_team_size(requested_threads, items),
                    [&](std::int64_t begin, std::int64_t end, int) {
                        for (std::int64_t item = begin; item < end; ++item) {
                            const std::int64_t tile = item % tiles;
                            sum_tile_block(inputs, kernel.sums, runs1[tile / runs2.count],
                                           runs2[tile % runs2.count], item / tiles);
                        }
                    });
}

}  // namespace morvane::pixelwise
