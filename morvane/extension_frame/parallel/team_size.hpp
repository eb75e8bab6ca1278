// How many threads a parallel loop asks the OpenMP runtime for.
#pragma once

#include <cstdint>

namespace morvane {

// The team size to request for a loop of `count` iterations when the caller
// asked for `requested` threads (0: the runtime's default team). Results never
// depend on the team size, so the request is capped at the iteration count
// and at a bound the machine can honour: a runtime that fails to create a
// thread ends the whole process.
int loop_team_size(std::int32_t requested, std::int64_t count) noexcept;

// The most threads any loop of a call with `requested` threads can have.
int max_team_size(std::int32_t requested) noexcept;

}  // namespace morvane
