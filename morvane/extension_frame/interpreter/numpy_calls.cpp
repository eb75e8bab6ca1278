#include "numpy_calls.hpp"

#include "module_definition.hpp"
#include "object_ref.hpp"

namespace morvane::numpy {
namespace {

interned_name np_name("np");
interned_name empty_name("empty");
interned_name zeros_name("zeros");
interned_name float32_name("float32");
interned_name float64_name("float64");
interned_name int64_name("int64");
interned_name dtype_name("dtype");
interned_name sum_name("sum");
interned_name axis_name("axis");
interned_name reshape_name("reshape");

const interned_name& dtype_attribute(dtype type) noexcept {
    switch (type) {
        case dtype::float32: return float32_name;
        case dtype::float64: return float64_name;
        case dtype::int64: break;
    }
    return int64_name;
}

PyObject* make_array(const interned_name& function, PyObject* shape, dtype type) noexcept {
    object_ref np(module_global(np_name));
    if (!np) {
        return nullptr;
    }
    object_ref make(PyObject_GetAttr(np.get(), function.get()));
    if (!make) {
        return nullptr;
    }
    object_ref element(PyObject_GetAttr(np.get(), dtype_attribute(type).get()));
    if (!element) {
        return nullptr;
    }
    PyObject* arguments[] = {shape, element.get()};
    return PyObject_Vectorcall(make.get(), arguments, 1, dtype_name.as_keywords());
}

}  // namespace

int make_names() noexcept {
    for (interned_name* name : {&np_name, &empty_name, &zeros_name, &float32_name,
                                &float64_name, &int64_name, &dtype_name, &sum_name,
                                &axis_name, &reshape_name}) {
        if (name->make() < 0) {
            return -1;
        }
    }
    return 0;
}

PyObject* empty(PyObject* shape, dtype type) noexcept {
    return make_array(empty_name, shape, type);
}

PyObject* zeros(PyObject* shape, dtype type) noexcept {
    return make_array(zeros_name, shape, type);
}

PyObject* sum_and_reshape(PyObject* array, long axis, std::int64_t rows,
                          std::int64_t columns) noexcept {
    object_ref axis_value(PyLong_FromLong(axis));
    if (!axis_value) {
        return nullptr;
    }
    // The array is the one positional argument (self); `axis` a keyword.
    PyObject* sum_arguments[] = {array, axis_value.get()};
    object_ref sums(PyObject_VectorcallMethod(sum_name.get(), sum_arguments, 1,
                                              axis_name.as_keywords()));
    if (!sums) {
        return nullptr;
    }
    object_ref row_count(PyLong_FromLongLong(rows));
    object_ref column_count(PyLong_FromLongLong(columns));
    if (!row_count || !column_count) {
        return nullptr;
    }
    PyObject* reshape_arguments[] = {sums.get(), row_count.get(), column_count.get()};
    return PyObject_VectorcallMethod(reshape_name.get(), reshape_arguments,
                                     3, nullptr);
}

}  // namespace morvane::numpy
