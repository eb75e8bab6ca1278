// Summed squared differences of two runs of 8-bit pixels.
//
// Pure kernels: pointers and counts only, no interpreter and no threads.
#pragma once

#include <cstdint>

#include "../../../extension_frame/parallel/simd_path.hpp"

namespace morvane::pixelwise {

// The longest run one kernel call sums: 32768 x 255^2 < 2^31, so a 32-bit
// accumulator holds the exact sum whatever order its lanes are added in.
inline constexpr std::int64_t block_pixels = 32768;

// Returns the sum over i < count of (first[i] - second[i])^2, for
// 0 <= count <= block_pixels.
using block_ssd_kernel = std::uint32_t (*)(const std::uint8_t* __restrict first,
                                           const std::uint8_t* __restrict second,
                                           std::int64_t count) noexcept;

block_ssd_kernel block_ssd_kernel_for(simd_path path) noexcept;

}  // namespace morvane::pixelwise
