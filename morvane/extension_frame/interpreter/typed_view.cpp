#include "typed_view.hpp"

#include <algorithm>
#include <string>

#include "object_ref.hpp"

namespace morvane {
namespace {

constexpr int read_only_request = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;
constexpr int writable_request = read_only_request | PyBUF_WRITABLE;

const char* plural(Py_ssize_t count) noexcept { return count > 1 ? "s" : ""; }

int check_item_size(const Py_buffer& buffer, const element_type& element) noexcept {
    if (static_cast<std::size_t>(buffer.itemsize) == element.size) {
        return 0;
    }
    PyErr_Format(PyExc_ValueError,
                 "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                 static_cast<std::size_t>(buffer.itemsize), plural(buffer.itemsize),
                 element.name, element.size, plural(static_cast<Py_ssize_t>(element.size)));
    return -1;
}

// Every axis but the last may step by any multiple of the item size; the
// last must be contiguous. Axes of extent 0 or 1 are never stepped along.
int check_axes(const Py_buffer& buffer) noexcept {
    const int last = buffer.ndim - 1;
    for (int d = 0; d <= last; ++d) {
        if (buffer.shape[d] > 1) {
            if (buffer.strides != nullptr) {
                const Py_ssize_t stride = buffer.strides[d];
                const Py_ssize_t magnitude = stride < 0 ? -stride : stride;
                if (d == last ? stride != buffer.itemsize : magnitude < buffer.itemsize) {
                    PyErr_SetString(PyExc_ValueError,
                                    "Buffer and memoryview are not contiguous in the same "
                                    "dimension.");
                    return -1;
                }
            } else if (buffer.suboffsets != nullptr) {
                PyErr_SetString(PyExc_ValueError, "Buffer exposes suboffsets but no strides");
                return -1;
            }
        }
        if (buffer.suboffsets != nullptr && buffer.suboffsets[d] >= 0) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer not compatible with direct access in dimension %d.", d);
            return -1;
        }
    }
    return 0;
}

int check_c_contiguous(const Py_buffer& buffer) noexcept {
    if (buffer.strides == nullptr) {
        return 0;
    }
    Py_ssize_t expected = buffer.itemsize;
    for (int d = buffer.ndim - 1; d >= 0; --d) {
        if (buffer.shape[d] > 1 && buffer.strides[d] != expected) {
            PyErr_SetString(PyExc_ValueError, "Buffer not C contiguous.");
            return -1;
        }
        // Only an exporter whose extents overstate its length can overflow.
        if (__builtin_mul_overflow(expected, buffer.shape[d], &expected)) {
            PyErr_SetString(PyExc_ValueError, "Buffer not C contiguous.");
            return -1;
        }
    }
    return 0;
}

int check_buffer(const Py_buffer& buffer, const element_type& element, int rank) noexcept {
    if (buffer.ndim != rank) {
        PyErr_Format(PyExc_ValueError,
                     "Buffer has wrong number of dimensions (expected %d, got %d)", rank,
                     buffer.ndim);
        return -1;
    }
    if (buffer.shape == nullptr) {
        // Only a broken exporter answers a request for strides without a shape.
        PyErr_SetString(PyExc_ValueError, "Buffer exposes no shape");
        return -1;
    }
    // No format text means unsigned bytes.
    const std::string message =
        match_buffer_format(element, buffer.format == nullptr ? "B" : buffer.format);
    if (!message.empty()) {
        PyErr_SetString(PyExc_ValueError, message.c_str());
        return -1;
    }
    if (check_item_size(buffer, element) < 0) {
        return -1;
    }
    if (buffer.len <= 0) {
        return 0;
    }
    if (check_axes(buffer) < 0) {
        return -1;
    }
    return check_c_contiguous(buffer);
}

}  // namespace

int typed_view::acquire(PyObject* object, const element_type& element, int rank,
                        view_access access) noexcept {
    if (object == Py_None) {
        memview_ = owner_state::none_marker;
        return 0;
    }
    const int request = access == view_access::writable ? writable_request : read_only_request;
    if (PyObject_GetBuffer(object, &buffer_, request) < 0) {
        return -1;
    }
    if (check_buffer(buffer_, element, rank) < 0) {
        PyBuffer_Release(&buffer_);
        return -1;
    }
    // Strides left out are those of the C layout. The extents of an empty
    // buffer may multiply past 64 bits; its strides are never stepped along.
    std::int64_t stride = buffer_.itemsize;
    for (int d = rank - 1; d >= 0; --d) {
        shape[d] = buffer_.shape[d];
        strides[d] = buffer_.strides != nullptr ? buffer_.strides[d] : stride;
        if (__builtin_mul_overflow(stride, buffer_.shape[d], &stride)) {
            stride = 0;
        }
    }
    data = static_cast<char*>(buffer_.buf);
    memview_ = owner_state::acquired;
    return 0;
}

namespace {

PyObject* shape_tuple(const std::int64_t* extents, std::size_t rank) noexcept {
    PyObject* shape = PyTuple_New(static_cast<Py_ssize_t>(rank));
    for (std::size_t d = 0; shape != nullptr && d < rank; ++d) {
        PyObject* extent = PyLong_FromLongLong(extents[d]);
        if (extent == nullptr) {
            Py_CLEAR(shape);
        } else {
            PyTuple_SET_ITEM(shape, d, extent);
        }
    }
    return shape;
}

}  // namespace

int check_allocated_extents(const typed_view& view,
                            std::initializer_list<std::int64_t> expected) noexcept {
    if (std::equal(expected.begin(), expected.end(), view.shape)) {
        return 0;
    }
    object_ref got(shape_tuple(view.shape, expected.size()));
    object_ref wanted(shape_tuple(expected.begin(), expected.size()));
    if (got && wanted) {
        PyErr_Format(PyExc_ValueError, "Allocated array has shape %R, expected %R.", got.get(),
                     wanted.get());
    }
    return -1;
}

void typed_view::release() noexcept {
    if (memview_ == owner_state::acquired) {
        PyBuffer_Release(&buffer_);
        data = nullptr;
    }
    memview_ = owner_state::empty;
}

}  // namespace morvane
