#include "module_definition.hpp"

#include <cstdint>
#include <string>

#include "../parallel/simd_path.hpp"
#include "numpy_calls.hpp"
#include "object_ref.hpp"
#include "py_version.hpp"
#include "traceback_entry.hpp"

namespace morvane {
namespace {

// Process-wide state of this library; written only by the import steps, which
// run with the interpreter lock held.
struct library_state {
    const module_identity* identity = nullptr;
    // The module whose execute step has begun and not failed (a strong
    // reference: the module lives until the process ends).
    PyObject* module = nullptr;
    // The interpreter the module was first created in; never cleared.
    bool interpreter_recorded = false;
    std::int64_t interpreter_id = 0;
    PyMethodDef method{};
};

library_state state;

PyObject* module_namespace() noexcept { return PyModule_GetDict(state.module); }

void add_import_traceback_entry(int line) noexcept {
    const std::string routine = std::string("init ") + state.identity->full_name;
    add_traceback_entry(routine.c_str(), state.identity->source_path, line,
                        module_namespace());
}

int record_interpreter() noexcept {
    const std::int64_t id = py_version::current_interpreter_id();
    if (id == -1 && PyErr_Occurred()) {
        return -1;
    }
    if (!state.interpreter_recorded) {
        state.interpreter_recorded = true;
        state.interpreter_id = id;
    } else if (state.interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded "
                        "into one interpreter per process.");
        return -1;
    }
    return 0;
}

// Copies spec.<attribute> into the module namespace as `key`. A spec without
// the attribute is skipped; so is None where `none_is_absent`.
int copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* attribute,
                        const char* key, bool none_is_absent) noexcept {
    object_ref value(PyObject_GetAttrString(spec, attribute));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    if (none_is_absent && value.get() == Py_None) {
        return 0;
    }
    return PyDict_SetItemString(module_dict, key, value.get());
}

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
    if (record_interpreter() < 0) {
        return nullptr;
    }
    if (state.module != nullptr) {
        Py_INCREF(state.module);
        return state.module;
    }
    object_ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    object_ref module(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject* module_dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, module_dict, "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(spec, module_dict, "origin", "__file__", false) < 0 ||
        copy_spec_attribute(spec, module_dict, "parent", "__package__", false) < 0 ||
        copy_spec_attribute(spec, module_dict, "submodule_search_locations", "__path__",
                            true) < 0) {
        return nullptr;
    }
    return module.release();
}

int make_constants(PyObject* module_dict) noexcept {
    const module_identity& identity = *state.identity;
    for (std::size_t i = 0; i < identity.constant_count; ++i) {
        if (identity.constants[i]->make() < 0) {
            return -1;
        }
    }
    if (numpy::make_names() < 0) {
        return -1;
    }
    // The kernels' instruction set is settled once, at import, and shown.
    object_ref path(PyUnicode_FromString(simd_path_name(active_simd_path())));
    if (!path) {
        return -1;
    }
    return PyDict_SetItemString(module_dict, "__simd_path__", path.get());
}

// Enters the module into sys.modules unless the import system already did.
int enter_module_table(PyObject* module) noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    object_ref name(PyUnicode_FromString(state.identity->full_name));
    if (!name) {
        return -1;
    }
    PyObject* entry = PyDict_GetItemWithError(modules, name.get());
    if (entry != nullptr) {
        return 0;
    }
    if (PyErr_Occurred()) {
        return -1;
    }
    return PyDict_SetItem(modules, name.get(), module);
}

// Takes a module whose execute step failed out of sys.modules, keeping the
// pending exception. The import system drops its own entry too, but an entry
// made by enter_module_table would outlive the failure and be handed to the
// next importer in place of a fresh module.
void leave_module_table(PyObject* module) noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject* modules = PyImport_GetModuleDict();
    if (PyDict_GetItemString(modules, state.identity->full_name) == module) {
        PyDict_DelItemString(modules, state.identity->full_name);
    }
    PyErr_Restore(type, value, traceback);
}

// Binds `np`. A NumPy already in sys.modules is taken as it is; a None entry
// there is no module, so the import runs and reports the usual error.
int bind_numpy(PyObject* module_dict) noexcept {
    object_ref numpy_name(PyUnicode_FromString("numpy"));
    if (!numpy_name) {
        return -1;
    }
    object_ref numpy = object_ref::borrowed(
        PyDict_GetItemWithError(PyImport_GetModuleDict(), numpy_name.get()));
    if (!numpy && PyErr_Occurred()) {
        return -1;
    }
    if (!numpy || numpy.get() == Py_None) {
        numpy.reset(PyImport_ImportModuleLevelObject(numpy_name.get(), module_dict,
                                                     nullptr, nullptr, 0));
        if (!numpy) {
            return -1;
        }
    }
    return PyDict_SetItemString(module_dict, "np", numpy.get());
}

int bind_all(PyObject* module_dict) noexcept {
    object_ref all(Py_BuildValue("[s]", state.identity->function.name));
    if (!all) {
        return -1;
    }
    return PyDict_SetItemString(module_dict, "__all__", all.get());
}

int bind_function(PyObject* module_dict) noexcept {
    const function_identity& function = state.identity->function;
    state.method = PyMethodDef{function.name,
                               reinterpret_cast<PyCFunction>(
                                   reinterpret_cast<void (*)()>(function.entry)),
                               METH_FASTCALL | METH_KEYWORDS, function.doc_with_signature};
    object_ref module_name(PyUnicode_FromString(state.identity->full_name));
    if (!module_name) {
        return -1;
    }
    object_ref callable(PyCFunction_NewEx(&state.method, nullptr, module_name.get()));
    if (!callable) {
        return -1;
    }
    return PyDict_SetItemString(module_dict, function.name, callable.get());
}

// The steps after the module is recorded; on failure, the line its traceback
// entry names (0: none).
int fill_module(PyObject* module, int& failing_line) noexcept {
    const module_identity& identity = *state.identity;
    PyObject* module_dict = PyModule_GetDict(module);
    failing_line = 0;
    if (make_constants(module_dict) < 0) {
        return -1;
    }
    failing_line = 1;
    if (enter_module_table(module) < 0) {
        return -1;
    }
    failing_line = identity.numpy_import_line;
    if (bind_numpy(module_dict) < 0) {
        return -1;
    }
    failing_line = identity.all_line;
    if (identity.all_line != 0 && bind_all(module_dict) < 0) {
        return -1;
    }
    failing_line = identity.function.definition_line;
    return bind_function(module_dict);
}

int execute_module(PyObject* module) noexcept {
    if (state.module == module) {
        return 0;
    }
    if (state.module != nullptr) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not "
                     "supported.",
                     state.identity->short_name);
        return -1;
    }
    Py_INCREF(module);
    state.module = module;
    int failing_line = 0;
    if (fill_module(module, failing_line) < 0) {
        if (failing_line != 0) {
            add_import_traceback_entry(failing_line);
        }
        leave_module_table(module);
        Py_CLEAR(state.module);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(execute_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    nullptr,  // m_name and m_doc come from the identity
    nullptr,
    0,        // no per-module state: the library's state is process-wide
    nullptr,  // the function is bound by the execute step
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

int interned_name::make() noexcept {
    if (object_ != nullptr) {
        return 0;
    }
    object_ref text(PyUnicode_InternFromString(text_));
    if (!text) {
        return -1;
    }
    keywords_ = PyTuple_Pack(1, text.get());
    if (keywords_ == nullptr) {
        return -1;
    }
    object_ = text.release();
    return 0;
}

PyObject* module_init(const module_identity& identity) noexcept {
    state.identity = &identity;
    module_definition.m_name = identity.short_name;
    module_definition.m_doc = identity.doc;
    return PyModuleDef_Init(&module_definition);
}

PyObject* module_global(const interned_name& name) noexcept {
    PyObject* value = PyDict_GetItemWithError(module_namespace(), name.get());
    if (value == nullptr && !PyErr_Occurred()) {
        value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name.get());
        if (value == nullptr && !PyErr_Occurred()) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
        }
    }
    Py_XINCREF(value);
    return value;
}

void add_function_traceback_entry(int line) noexcept {
    const module_identity& identity = *state.identity;
    const std::string routine =
        std::string(identity.full_name) + "." + identity.function.name;
    add_traceback_entry(routine.c_str(), identity.source_path, line, module_namespace());
}

}  // namespace morvane
