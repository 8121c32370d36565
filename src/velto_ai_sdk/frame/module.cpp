#include "velto_ai_sdk/frame/module.h"

#include <cstddef>
#include <string>
#include <type_traits>

#include "velto_ai_sdk/frame/pending_exception.h"
#include "velto_ai_sdk/frame/ref.h"
#include "velto_ai_sdk/frame/traceback.h"

namespace velto::frame {

ModuleDefinition::ModuleDefinition(const char* short_name, const char* full_name, ModuleBody body,
                                   const char* source_file, int line)
    : def_{PyModuleDef_HEAD_INIT},
      slots_{{Py_mod_create, reinterpret_cast<void*>(&ModuleDefinition::create)},
             {Py_mod_exec, reinterpret_cast<void*>(&ModuleDefinition::exec)},
             {0, nullptr}},
      no_methods_{{nullptr, nullptr, 0, nullptr}},
      short_name_(short_name),
      full_name_(full_name),
      body_(body),
      source_file_(source_file),
      line_(line) {
    def_.m_name = short_name_;
    def_.m_doc = nullptr;
    def_.m_size = 0;
    def_.m_methods = no_methods_;
    def_.m_slots = slots_;
}

PyObject* ModuleDefinition::initialize() { return PyModuleDef_Init(&def_); }

ModuleDefinition& ModuleDefinition::of(PyModuleDef* def) {
    static_assert(std::is_standard_layout<ModuleDefinition>::value, "the definition must lead the object");
    static_assert(offsetof(ModuleDefinition, def_) == 0, "the definition must lead the object");
    return *reinterpret_cast<ModuleDefinition*>(def);
}

PyObject* ModuleDefinition::create(PyObject* spec, PyModuleDef* def) { return of(def).create_module(spec); }

int ModuleDefinition::exec(PyObject* module) {
    PyModuleDef* def = PyModule_GetDef(module);
    if (def == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "module has no definition");
        }
        return -1;
    }
    return of(def).exec_module(module);
}

namespace {

int64_t current_interpreter_id() {
#if PY_VERSION_HEX >= 0x03090000
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

// Copies one attribute of the module spec onto the module. A missing
// attribute is skipped; with `skip_none`, so is a None value.
int copy_spec_attribute(PyObject* spec, PyObject* module, const char* from, const char* to, bool skip_none) {
    Ref value(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None) {
        return 0;
    }
    return PyObject_SetAttrString(module, to, value.get());
}

// The body's last binding: an empty __test__, which doctest reads.
int bind_test(PyObject* module) {
    Ref test(PyDict_New());
    return test ? PyObject_SetAttrString(module, "__test__", test.get()) : -1;
}

}  // namespace

// Extension modules keep process-wide state here, which another interpreter
// of the same process must not share.
bool ModuleDefinition::check_interpreter() {
    int64_t current = current_interpreter_id();
    if (current < 0) {
        return false;
    }
    if (!interpreter_known_) {
        interpreter_known_ = true;
        interpreter_id_ = current;
    } else if (interpreter_id_ != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return false;
    }
    return true;
}

PyObject* ModuleDefinition::create_module(PyObject* spec) {
    if (!check_interpreter()) {
        return nullptr;
    }
    if (executed_ != nullptr) {
        Py_INCREF(executed_);
        return executed_;
    }
    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module(PyModule_NewObject(name.get()));
    if (!module || copy_spec_attribute(spec, module.get(), "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(spec, module.get(), "origin", "__file__", false) < 0 ||
        copy_spec_attribute(spec, module.get(), "parent", "__package__", false) < 0 ||
        copy_spec_attribute(spec, module.get(), "submodule_search_locations", "__path__", true) < 0) {
        return nullptr;
    }
    return module.release();
}

int ModuleDefinition::exec_module(PyObject* module) {
    if (executed_ != nullptr) {
        if (executed_ == module) {
            return 0;
        }
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     short_name_);
        return -1;
    }
    executed_ = Ref::borrow(module).release();
    if (run_body(module) < 0) {
        Py_CLEAR(executed_);
        return -1;
    }
    return 0;
}

int ModuleDefinition::run_body(PyObject* module) {
    Ref builtins(PyImport_ImportModule("builtins"));
    if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0) {
        return -1;
    }
    // The import system has usually entered the module already; when it has
    // not, the entry is ours to take back if the body fails.
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    Ref name(PyUnicode_FromString(full_name_));
    if (!name) {
        return -1;
    }
    int present = PyDict_Contains(modules, name.get());
    if (present < 0 || (present == 0 && PyDict_SetItem(modules, name.get(), module) < 0)) {
        return -1;
    }
    if (body_(module) < 0 || bind_test(module) < 0) {
        std::string entry = std::string("init ") + full_name_;
        add_traceback_entry(entry.c_str(), path_in_package(source_file_), line_, PyModule_GetDict(module));
        if (present == 0) {
            PendingException pending;
            if (PyDict_GetItem(modules, name.get()) == module) {
                PyDict_DelItem(modules, name.get());
            }
        }
        return -1;
    }
    return 0;
}

}  // namespace velto::frame
