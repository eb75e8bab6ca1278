// Releasing the interpreter lock around the parallel loops of a call.
#pragma once

#include <Python.h>

namespace morvane {

// Releases the interpreter lock for the lifetime of the object. Nothing that
// touches an interpreter object may run while it lives.
class interpreter_lock_released {
public:
    interpreter_lock_released() noexcept : thread_state_(PyEval_SaveThread()) {}
    interpreter_lock_released(const interpreter_lock_released&) = delete;
    interpreter_lock_released& operator=(const interpreter_lock_released&) = delete;
    ~interpreter_lock_released() { PyEval_RestoreThread(thread_state_); }

private:
    PyThreadState* thread_state_;
};

}  // namespace morvane
