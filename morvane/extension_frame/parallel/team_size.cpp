#include "team_size.hpp"

#include <omp.h>

#include <algorithm>

namespace morvane {
namespace {

// Oversubscribing the processors a few times over is still honoured cheaply;
// beyond that more threads only cost memory and creation time.
constexpr int threads_per_processor = 8;

int machine_thread_bound() noexcept {
    const int processors = std::max(1, omp_get_num_procs());
    return std::min(omp_get_thread_limit(),
                    std::max(omp_get_max_threads(), threads_per_processor * processors));
}

}  // namespace

int max_team_size(std::int32_t requested) noexcept {
    const int asked = requested == 0 ? omp_get_max_threads() : requested;
    return std::max(1, std::min(asked, machine_thread_bound()));
}

int loop_team_size(std::int32_t requested, std::int64_t count) noexcept {
    return static_cast<int>(std::min<std::int64_t>(max_team_size(requested), std::max<std::int64_t>(count, 1)));
}

}  // namespace morvane
