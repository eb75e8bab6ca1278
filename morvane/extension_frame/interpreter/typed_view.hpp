// Typed views of buffer-protocol exporters.
//
// A view is tested once, at acquisition, for element type, rank and layout;
// afterwards its elements are reached by address arithmetic alone. The last
// axis always has unit stride and the whole buffer is C-contiguous.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>

#include "../parallel/view_layout.hpp"
#include "format_match.hpp"

namespace morvane {

enum class view_access { read_only, writable };

class typed_view : public view_layout {
public:
    typed_view() noexcept = default;
    typed_view(const typed_view&) = delete;
    typed_view& operator=(const typed_view&) = delete;
    ~typed_view() { release(); }

    // Fills the empty view from `object` (None gives a view whose extents all
    // read 0). Returns 0, or -1 with an exception set and the view left empty.
    int acquire(PyObject* object, const element_type& element, int rank,
                view_access access) noexcept;

    // Gives the buffer back to its exporter and drops the exporter; the view
    // is empty afterwards. Needs the interpreter lock.
    void release() noexcept;

private:
    enum class owner_state { empty, none_marker, acquired };

    // The acquired buffer; its `obj` is the strong reference to the exporter.
    owner_state memview_ = owner_state::empty;
    Py_buffer buffer_{};
};

// The loops index an array that a call allocated by the extents the call
// asked for; `np` may have been rebound to something that returns another
// shape. Returns 0, or -1 with ValueError set.
int check_allocated_extents(const typed_view& view,
                            std::initializer_list<std::int64_t> expected) noexcept;

}  // namespace morvane
