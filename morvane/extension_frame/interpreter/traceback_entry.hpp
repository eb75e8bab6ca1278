// Traceback entries for failures that leave compiled code: one entry per
// failure, naming a routine, a source path and the line of the failing step.
#pragma once

#include <Python.h>

namespace morvane {

// Adds an entry to the traceback of the pending exception. When memory runs
// out while the entry is made, the entry is left out and the memory error
// becomes the pending exception.
void add_traceback_entry(const char* function_name, const char* source_path, int line,
                         PyObject* globals) noexcept;

}  // namespace morvane
