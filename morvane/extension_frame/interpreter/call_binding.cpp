#include "call_binding.hpp"

namespace morvane {
namespace {

int raise_positional_count(const function_identity& function, Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 function.name, "exactly", function.parameter_count,
                 function.parameter_count == 1 ? "" : "s", given);
    return -1;
}

// Same text: same hash, length, character width and characters.
bool same_text(PyObject* a, PyObject* b) noexcept {
    if (PyUnicode_GET_LENGTH(a) != PyUnicode_GET_LENGTH(b) ||
        PyUnicode_KIND(a) != PyUnicode_KIND(b) || PyObject_Hash(a) != PyObject_Hash(b)) {
        return false;
    }
    return memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                  static_cast<size_t>(PyUnicode_GET_LENGTH(a)) * PyUnicode_KIND(a)) == 0;
}

// The position in [first, last) of the parameter named `keyword`: -1 for none,
// -2 with an exception set when a str subclass's comparison fails.
Py_ssize_t find_parameter(const function_identity& function, PyObject* keyword,
                          Py_ssize_t first, Py_ssize_t last) noexcept {
    for (Py_ssize_t i = first; i < last; ++i) {
        if (function.parameters[i]->get() == keyword) {
            return i;
        }
    }
    const bool exact_str = PyUnicode_CheckExact(keyword);
    for (Py_ssize_t i = first; i < last; ++i) {
        PyObject* parameter = function.parameters[i]->get();
        if (exact_str) {
            if (same_text(keyword, parameter)) {
                return i;
            }
            continue;
        }
        const int equal = PyObject_RichCompareBool(keyword, parameter, Py_EQ);
        if (equal < 0) {
            return -2;
        }
        if (equal) {
            return i;
        }
    }
    return -1;
}

int bind_keyword(const function_identity& function, PyObject* keyword, PyObject* value,
                 Py_ssize_t nargs, PyObject** slots) noexcept {
    if (!PyUnicode_Check(keyword)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function.name);
        return -1;
    }
    Py_ssize_t position = find_parameter(function, keyword, nargs, function.parameter_count);
    if (position == -2) {
        return -1;
    }
    if (position >= 0 && slots[position] == nullptr) {
        Py_INCREF(value);
        slots[position] = value;
        return 0;
    }
    // A keyword repeated in the names tuple (possible only from C) counts as
    // given twice, like one naming a positional argument.
    if (position < 0) {
        position = find_parameter(function, keyword, 0, nargs);
        if (position == -2) {
            return -1;
        }
    }
    if (position >= 0) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     function.name, keyword);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     function.name, keyword);
    }
    return -1;
}

}  // namespace

int bind_arguments(const function_identity& function, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) noexcept {
    const Py_ssize_t count = function.parameter_count;
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (keyword_count == 0 ? nargs != count : nargs > count) {
        return raise_positional_count(function, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        slots[i] = args[i];
    }
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        if (bind_keyword(function, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs,
                         slots) < 0) {
            return -1;
        }
    }
    for (Py_ssize_t i = nargs; i < count; ++i) {
        if (slots[i] == nullptr) {
            return raise_positional_count(function, i);
        }
    }
    return 0;
}

}  // namespace morvane
