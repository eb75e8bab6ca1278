// A range of loop iterations shared out statically over an OpenMP thread team.
//
// No interpreter here: loops run with the interpreter lock released.
#pragma once

#include <omp.h>

#include <cstdint>

namespace morvane {

// Runs body(begin, end, thread) on a team of `team_size` threads (the calling
// thread is thread 0) for one contiguous range per thread: with T threads,
// q = count / T and r = count % T, thread t < r takes q + 1 indices starting at
// t * (q + 1), thread t >= r takes q starting at t * q + r. Every thread of
// the team calls `body`, one with an empty range too (begin == end), so that
// a body may hold team barriers. Returns when every thread has finished.
// `count` must be at least 1 and `team_size` at least 1.
template <class RangeBody>
void parallel_ranges(std::int64_t count, int team_size, const RangeBody& body) {
#pragma omp parallel num_threads(team_size)
    {
        const std::int64_t threads = omp_get_num_threads();
        const std::int64_t thread = omp_get_thread_num();
        const std::int64_t quotient = count / threads;
        const std::int64_t remainder = count % threads;
        const std::int64_t begin =
            thread < remainder ? thread * (quotient + 1) : thread * quotient + remainder;
        const std::int64_t end = begin + quotient + (thread < remainder ? 1 : 0);
        body(begin, end, static_cast<int>(thread));
    }
}

}  // namespace morvane
