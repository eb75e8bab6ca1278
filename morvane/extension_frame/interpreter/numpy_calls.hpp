// The NumPy calls the drivers make, always through the module global `np`,
// read anew at each use so that a rebinding is seen by the next call.
#pragma once

#include <Python.h>

#include <cstdint>

namespace morvane::numpy {

enum class dtype { float32, float64, int64 };

// Makes the names the calls use; part of the execute step of the import.
int make_names() noexcept;

// np.empty(shape, dtype=np.<type>) and np.zeros(...): `shape` is a Python int
// or a tuple of them. New reference, or null with an exception set.
PyObject* empty(PyObject* shape, dtype type) noexcept;
PyObject* zeros(PyObject* shape, dtype type) noexcept;

// array.sum(axis=axis).reshape(rows, columns).
PyObject* sum_and_reshape(PyObject* array, long axis, std::int64_t rows,
                          std::int64_t columns) noexcept;

}  // namespace morvane::numpy
