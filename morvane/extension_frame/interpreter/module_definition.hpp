// What an importer sees of a module: its definition, the create and execute
// steps, its namespace and its one function object.
//
// Each library holds exactly one module. Everything the module keeps lives in
// process-wide storage of its library (the module object carries no state), so
// the module can be imported into one interpreter per process only.
#pragma once

#include <Python.h>

#include <cstddef>

namespace morvane {

// A string made once at import and used as a constant by every call:
// parameter names (matched by identity first), attribute names, keywords.
class interned_name {
public:
    constexpr explicit interned_name(const char* text) noexcept : text_(text) {}
    interned_name(const interned_name&) = delete;
    interned_name& operator=(const interned_name&) = delete;

    const char* text() const noexcept { return text_; }
    // The interned str.
    PyObject* get() const noexcept { return object_; }
    // The 1-tuple (name,): keyword names for a vector call passing this one keyword.
    PyObject* as_keywords() const noexcept { return keywords_; }

    // Makes the objects; 0, or -1 with an exception set. Never freed.
    int make() noexcept;

private:
    const char* text_;
    PyObject* object_ = nullptr;
    PyObject* keywords_ = nullptr;
};

using fastcall_entry = PyObject* (*)(PyObject* self, PyObject* const* args,
                                     Py_ssize_t nargs, PyObject* kwnames);

struct function_identity {
    const char* name;
    // "name(p1, p2, ...)\n--\n\n" followed by the docstring: the interpreter
    // serves the signature to introspection and the rest as __doc__.
    const char* doc_with_signature;
    fastcall_entry entry;
    interned_name* const* parameters;
    Py_ssize_t parameter_count;
    // Source line of the definition: binding failures and a failure to make
    // or bind the function object at import report it.
    int definition_line;
};

struct module_identity {
    const char* full_name;
    const char* short_name;
    const char* doc;
    // The source path and, below, the lines that traceback entries name.
    const char* source_path;
    int numpy_import_line;
    int all_line;  // 0 when the module has no __all__
    function_identity function;
    // Every constant the module uses, parameter names included; made by the
    // execute step before anything else.
    interned_name* const* constants;
    std::size_t constant_count;
};

// The body of the library's PyInit_ function: hands the interpreter the
// module definition for this identity (the library's only one).
PyObject* module_init(const module_identity& identity) noexcept;

// The module global `name` as a new reference, looked up in the namespace and
// then in the builtins at each use; null with NameError set when neither has it.
PyObject* module_global(const interned_name& name) noexcept;

// Adds the function's traceback entry, naming `line`, to the pending exception.
void add_function_traceback_entry(int line) noexcept;

// Ends a failing function body: adds its traceback entry and returns null.
inline PyObject* function_failure(int line) noexcept {
    add_function_traceback_entry(line);
    return nullptr;
}

}  // namespace morvane
