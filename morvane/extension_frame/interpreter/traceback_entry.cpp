#include "traceback_entry.hpp"

#include <frameobject.h>

#include "object_ref.hpp"
#include "py_version.hpp"

namespace morvane {
namespace {

// A frame of an empty code object that reports `line`. Made while no
// exception is pending: the frame looks up its builtins, which fails
// outright with an exception pending.
PyFrameObject* make_frame(const char* function_name, const char* source_path, int line,
                          PyObject* globals) noexcept {
    object_ref code(reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(source_path, function_name, line)));
    if (!code) {
        return nullptr;
    }
    PyFrameObject* frame = PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr);
    if (frame != nullptr) {
        py_version::set_frame_line(frame, line);
    }
    return frame;
}

}  // namespace

void add_traceback_entry(const char* function_name, const char* source_path, int line,
                         PyObject* globals) noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyFrameObject* frame = make_frame(function_name, source_path, line, globals);
    if (frame == nullptr) {
        // The memory error replaces the exception the entry was for.
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return;
    }
    PyErr_Restore(type, value, traceback);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace morvane
