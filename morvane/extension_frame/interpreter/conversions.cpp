#include "conversions.hpp"

#include <climits>

#include "object_ref.hpp"

namespace morvane {
namespace {

int int_to_int32(PyObject* integer, std::int32_t& value) noexcept {
    const long wide = PyLong_AsLong(integer);
    if (wide == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (wide < INT32_MIN || wide > INT32_MAX) {
        PyErr_Format(PyExc_OverflowError, "value too large to convert to %.200s", "int");
        return -1;
    }
    value = static_cast<std::int32_t>(wide);
    return 0;
}

// The int that the type's __int__ slot makes of `object`, as a new reference.
PyObject* int_from_slot(PyObject* object) noexcept {
    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    object_ref result(number->nb_int(object));
    if (!result || PyLong_CheckExact(result.get())) {
        return result.release();
    }
    if (!PyLong_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                     Py_TYPE(result.get())->tp_name);
        return nullptr;
    }
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return "
                         "an instance of a strict subclass of int is deprecated, and may "
                         "be removed in a future version of Python.",
                         Py_TYPE(result.get())->tp_name) < 0) {
        return nullptr;
    }
    return result.release();
}

}  // namespace

int convert_float32(PyObject* object, float& value) noexcept {
    const double wide =
        PyFloat_CheckExact(object) ? PyFloat_AS_DOUBLE(object) : PyFloat_AsDouble(object);
    if (wide == -1.0 && PyErr_Occurred()) {
        return -1;
    }
    value = static_cast<float>(wide);
    return 0;
}

int convert_int32(PyObject* object, std::int32_t& value) noexcept {
    if (PyLong_Check(object)) {
        return int_to_int32(object, value);
    }
    object_ref integer(int_from_slot(object));
    if (!integer) {
        return -1;
    }
    return int_to_int32(integer.get(), value);
}

}  // namespace morvane
