// Which vector instruction set the kernels run on.
//
// The choice is made once per process, from what the processor supports, and
// may be narrowed (never widened) by the environment variable MORVANE_SIMD
// ("baseline", "avx2" or "avx512") so that every path can be exercised on one
// machine. Every path computes bit-identical results.
#pragma once

namespace morvane {

enum class simd_path { baseline, avx2, avx512 };

// The path in force; the first call decides it.
simd_path active_simd_path() noexcept;

const char* simd_path_name(simd_path path) noexcept;

}  // namespace morvane
