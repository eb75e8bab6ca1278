// An owned (strong) reference that is released when the owner goes away.
#pragma once

#include <Python.h>

#include <utility>

namespace morvane {

class object_ref {
public:
    object_ref() noexcept = default;
    // Takes over a new reference (possibly null, as returned by a failing call).
    explicit object_ref(PyObject* owned) noexcept : object_(owned) {}
    object_ref(const object_ref&) = delete;
    object_ref& operator=(const object_ref&) = delete;
    object_ref(object_ref&& other) noexcept : object_(other.release()) {}
    object_ref& operator=(object_ref&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~object_ref() { Py_XDECREF(object_); }

    static object_ref borrowed(PyObject* object) noexcept {
        Py_XINCREF(object);
        return object_ref(object);
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }

    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = std::exchange(object_, owned);
        Py_XDECREF(old);
    }

private:
    PyObject* object_ = nullptr;
};

}  // namespace morvane
