// Which vector instruction set the kernels run on.
//
// The choice is made once per process, from what the processor supports, and
// may be narrowed (never widened) by the environment variable MORVANE_SIMD
// ("baseline", "avx2", "avx512" or "avx512vnni") so that every path can be
// exercised on one machine. Every path computes bit-identical results.
#pragma once

namespace morvane {

// From narrowest to widest: a path may use everything the paths before it use.
// avx512_vnni is AVX-512 with the byte dot products of VNNI; kernels that have
// no use for them run their AVX-512 code on it.
enum class simd_path { baseline, avx2, avx512, avx512_vnni };

// The path in force; the first call decides it.
simd_path active_simd_path() noexcept;

const char* simd_path_name(simd_path path) noexcept;

}  // namespace morvane
