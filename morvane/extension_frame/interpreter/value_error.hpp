// Raising the ValueError of a rejected argument value.
#pragma once

#include <Python.h>

#include "object_ref.hpp"

namespace morvane {

// Raises the instance ValueError(message); if making it fails, that failure
// is the pending exception instead.
inline void raise_value_error(PyObject* message) noexcept {
    object_ref error(PyObject_CallOneArg(PyExc_ValueError, message));
    if (error) {
        PyErr_SetObject(PyExc_ValueError, error.get());
    }
}

}  // namespace morvane
