#include "simd_path.hpp"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace morvane {
namespace {

simd_path widest_supported_path() noexcept {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl")) {
        return __builtin_cpu_supports("avx512vnni") ? simd_path::avx512_vnni
                                                    : simd_path::avx512;
    }
    if (__builtin_cpu_supports("avx2")) {
        return simd_path::avx2;
    }
    return simd_path::baseline;
}

// A request names a path; one the processor lacks falls back to the widest
// it has, so a forced path can never raise an illegal-instruction fault.
simd_path requested_path(simd_path supported) noexcept {
    const char* request = std::getenv("MORVANE_SIMD");
    if (request == nullptr) {
        return supported;
    }
    for (simd_path path :
         {simd_path::baseline, simd_path::avx2, simd_path::avx512, simd_path::avx512_vnni}) {
        if (std::strcmp(request, simd_path_name(path)) == 0) {
            return path < supported ? path : supported;
        }
    }
    return supported;
}

}  // namespace

simd_path active_simd_path() noexcept {
    static const simd_path chosen = requested_path(widest_supported_path());
    return chosen;
}

const char* simd_path_name(simd_path path) noexcept {
    switch (path) {
        case simd_path::avx2: return "avx2";
        case simd_path::avx512: return "avx512";
        case simd_path::avx512_vnni: return "avx512vnni";
        case simd_path::baseline: break;
    }
    return "baseline";
}

}  // namespace morvane
