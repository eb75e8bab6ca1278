// The few interpreter interfaces whose form changes between CPython versions.
// Everything version-specific stays here.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <cstdint>

namespace morvane::py_version {

// Identifier of the running interpreter, or -1 with an exception set.
inline std::int64_t current_interpreter_id() {
    return PyInterpreterState_GetID(PyInterpreterState_Get());
}

// Sets the line a frame made for a traceback entry reports.
inline void set_frame_line(PyFrameObject* frame, int line) {
#if PY_VERSION_HEX < 0x030B0000
    frame->f_lineno = line;
#else
#error "traceback frames: port set_frame_line to this CPython version"
#endif
}

}  // namespace morvane::py_version
