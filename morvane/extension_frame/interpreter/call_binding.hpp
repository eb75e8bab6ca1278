// Binding the arguments of a vector call to the parameters of a function.
#pragma once

#include <Python.h>

#include <cstddef>

#include "module_definition.hpp"

namespace morvane {

// Strong references to the arguments of one call, one slot per parameter,
// dropped in parameter order.
template <std::size_t N>
class bound_arguments {
public:
    bound_arguments() noexcept = default;
    bound_arguments(const bound_arguments&) = delete;
    bound_arguments& operator=(const bound_arguments&) = delete;
    ~bound_arguments() { clear(); }

    PyObject* operator[](std::size_t position) const noexcept { return slots_[position]; }
    PyObject** slots() noexcept { return slots_; }

    void clear() noexcept {
        for (PyObject*& slot : slots_) {
            Py_CLEAR(slot);
        }
    }

private:
    PyObject* slots_[N] = {};
};

// Binds positional arguments and keywords (kwnames: null or a tuple of names
// whose values follow the positional ones in `args`) to the parameters of
// `function`, filling `slots` with new references. Returns 0, or -1 with
// TypeError set; slots bound before a failure stay for the caller to drop.
int bind_arguments(const function_identity& function, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) noexcept;

// The vector call entry of a function: binds and converts the arguments into
// an `Arguments` record, then runs `body` on it. `Arguments` provides
// `int bind_and_convert(args, nargs, kwnames)`, returning 0 or the line of the
// failing step, and `release()`, which drops the argument references and then
// releases the argument views in parameter order (its destructor does the
// same). The body adds its own traceback entry when it fails.
template <class Arguments, PyObject* (*body)(const Arguments&)>
PyObject* vector_call_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
    Arguments arguments;
    if (const int failing_line = arguments.bind_and_convert(args, nargs, kwnames)) {
        arguments.release();
        add_function_traceback_entry(failing_line);
        return nullptr;
    }
    return body(arguments);
}

}  // namespace morvane
