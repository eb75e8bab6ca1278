// Where the elements of an array view lie: all that loops need of a view.
//
// Pure data (no interpreter): the parallel loops read it with the interpreter
// lock released.
#pragma once

#include <cstdint>

namespace morvane {

inline constexpr int max_view_rank = 8;

struct view_layout {
    char* data = nullptr;  // the element whose indices are all 0
    std::int64_t shape[max_view_rank] = {};
    std::int64_t strides[max_view_rank] = {};  // in bytes

    // The elements of a rank-1 view.
    template <class T>
    T* elements() const noexcept {
        return reinterpret_cast<T*>(data);
    }

    // The start of the contiguous last axis at leading indices (i0) or (i0, i1).
    template <class T>
    T* row(std::int64_t i0) const noexcept {
        return reinterpret_cast<T*>(data + i0 * strides[0]);
    }
    template <class T>
    T* row(std::int64_t i0, std::int64_t i1) const noexcept {
        return reinterpret_cast<T*>(data + i0 * strides[0] + i1 * strides[1]);
    }
};

}  // namespace morvane
