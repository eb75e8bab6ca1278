// Summed squared differences of 8-bit pixel rows over one block, for a tile
// of row pairs at a time.
//
// Pure kernels: pointers and counts only, no interpreter and no threads.
#pragma once

#include <cstdint>

#include "../../../extension_frame/parallel/simd_path.hpp"

namespace morvane::pixelwise {

// The longest run one kernel call sums: 32768 x 255^2 < 2^31, so a 32-bit
// sum holds the exact total whatever order its terms are added in.
inline constexpr std::int64_t block_pixels = 32768;

// No kernel's tile is longer than this on either side.
inline constexpr int max_tile_side = 4;

// For r < rows and c < cols: sums[r * cols + c] = the sum over
// start <= p < start + count of (first_rows[r][p] - second_rows[c][p])^2,
// for 1 <= rows <= tile_rows, 1 <= cols <= tile_cols of the kernel and
// 0 <= count <= block_pixels.
using tile_ssd_function = void (*)(const std::uint8_t* const* __restrict first_rows, int rows,
                                   const std::uint8_t* const* __restrict second_rows, int cols,
                                   std::int64_t start, std::int64_t count,
                                   std::uint32_t* __restrict sums) noexcept;

// A path's kernel and the largest tile it takes: a wider tile loads each
// vector of a row once for more pairs, as far as the path's vector
// registers hold the tile's running sums.
struct tile_ssd_kernel {
    int tile_rows;  // rows of the first batch, at most max_tile_side
    int tile_cols;  // rows of the second batch, at most max_tile_side
    tile_ssd_function sums;
};

tile_ssd_kernel tile_ssd_kernel_for(simd_path path) noexcept;

}  // namespace morvane::pixelwise
