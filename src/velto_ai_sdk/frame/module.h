// The module definition every extension module of the package is made of:
// multi-phase initialisation with a create slot and an exec slot, a body
// that runs once per process, and refusal of a second interpreter.
#pragma once

#include <Python.h>

#include <cstdint>

// Declares a module's PyInit_ function. PyMODINIT_FUNC marks it for export
// only from CPython 3.9 on; on 3.8 it takes the default visibility, which
// this build hides.
#if defined(__GNUC__) && !defined(_WIN32)
#define VELTO_MODULE_INIT extern "C" __attribute__((visibility("default"))) PyObject*
#else
#define VELTO_MODULE_INIT PyMODINIT_FUNC
#endif

namespace velto::frame {

// The statements of a module, run once against its new module object.
// Returns 0, or -1 with an exception set.
using ModuleBody = int (*)(PyObject* module);

class ModuleDefinition {
public:
    // `short_name` is the definition's name ("codetool"), `full_name` the
    // import name ("velto_ai_sdk.codetool"). `source_file` and `line` locate
    // the body for traceback entries. Definitions are static objects.
    ModuleDefinition(const char* short_name, const char* full_name, ModuleBody body, const char* source_file,
                     int line);

    // What the module's PyInit_ function returns.
    PyObject* initialize();

    ModuleDefinition(const ModuleDefinition&) = delete;
    ModuleDefinition& operator=(const ModuleDefinition&) = delete;

private:
    static PyObject* create(PyObject* spec, PyModuleDef* def);
    static int exec(PyObject* module);
    static ModuleDefinition& of(PyModuleDef* def);

    PyObject* create_module(PyObject* spec);
    int exec_module(PyObject* module);
    bool check_interpreter();
    int run_body(PyObject* module);

    // The definition comes first: the slots receive a pointer to it and find
    // the rest of this object from there.
    PyModuleDef def_;
    PyModuleDef_Slot slots_[3];
    PyMethodDef no_methods_[1];
    const char* short_name_;
    const char* full_name_;
    ModuleBody body_;
    const char* source_file_;
    int line_;

    // Process-wide state: the module whose body ran (kept for the life of
    // the process, so that the body never runs twice), and the interpreter
    // that first created the module.
    PyObject* executed_ = nullptr;
    bool interpreter_known_ = false;
    int64_t interpreter_id_ = -1;
};

}  // namespace velto::frame
