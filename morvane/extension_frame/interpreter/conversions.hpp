// Conversion of scalar call arguments.
#pragma once

#include <Python.h>

#include <cstdint>

namespace morvane {

// A Python number as float32 (rounded to nearest, ties to even; beyond the
// float32 range an infinity of the same sign). Returns 0, or -1 with the
// interpreter's conversion error set.
int convert_float32(PyObject* object, float& value) noexcept;

// A Python integer, or an object with __int__, as a signed 32-bit integer.
// Returns 0, or -1 with an exception set.
int convert_int32(PyObject* object, std::int32_t& value) noexcept;

}  // namespace morvane
