#include "velto_ai_sdk/frame/imports.h"

#include "velto_ai_sdk/frame/ref.h"

namespace velto::frame {

namespace {

Ref import(PyObject* module, const char* name, PyObject* from_list) {
    Ref name_object(PyUnicode_FromString(name));
    if (!name_object) {
        return Ref();
    }
    return Ref(PyImport_ImportModuleLevelObject(name_object.get(), PyModule_GetDict(module), nullptr, from_list, 0));
}

// The attribute, or else the submodule of that name if the interpreter has
// one loaded (a package need not bind its submodules as attributes).
Ref import_from(PyObject* source, PyObject* name) {
    Ref value(PyObject_GetAttr(source, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return value;
    }
    PyErr_Clear();
    Ref package(PyModule_Check(source) ? PyModule_GetNameObject(source) : nullptr);
    if (package) {
        Ref full_name(PyUnicode_FromFormat("%U.%U", package.get(), name));
        if (!full_name) {
            return Ref();
        }
        PyObject* loaded = PyDict_GetItemWithError(PyImport_GetModuleDict(), full_name.get());  // borrowed
        if (loaded != nullptr || PyErr_Occurred()) {
            return Ref::borrow(loaded);
        }
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return Ref();
}

// The names a star import takes from `source`.
Ref public_names(PyObject* source) {
    Ref all(PyObject_GetAttrString(source, "__all__"));
    if (all) {
        return Ref(PySequence_List(all.get()));
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return Ref();
    }
    PyErr_Clear();
    Ref namespace_dict(PyObject_GetAttrString(source, "__dict__"));
    if (!namespace_dict) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_SetString(PyExc_ImportError, "from-import-* object has no __dict__ and no __all__");
        }
        return Ref();
    }
    Ref keys(PyMapping_Keys(namespace_dict.get()));
    Ref names(PyList_New(0));
    if (!keys || !names) {
        return Ref();
    }
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(keys.get()); ++index) {
        PyObject* key = PyList_GET_ITEM(keys.get(), index);
        if (PyUnicode_Check(key) && PyUnicode_GET_LENGTH(key) > 0 && PyUnicode_READ_CHAR(key, 0) == '_') {
            continue;
        }
        if (PyList_Append(names.get(), key) < 0) {
            return Ref();
        }
    }
    return names;
}

}  // namespace

int import_module(PyObject* module, const char* name) {
    Ref imported = import(module, name, nullptr);
    if (!imported) {
        return -1;
    }
    return PyObject_SetAttrString(module, name, imported.get());
}

int import_names(PyObject* module, const char* source, const char* const* names, size_t count) {
    Ref from_list(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!from_list) {
        return -1;
    }
    for (size_t index = 0; index < count; ++index) {
        PyObject* name = PyUnicode_InternFromString(names[index]);
        if (name == nullptr) {
            return -1;
        }
        PyTuple_SET_ITEM(from_list.get(), static_cast<Py_ssize_t>(index), name);
    }
    Ref imported = import(module, source, from_list.get());
    if (!imported) {
        return -1;
    }
    for (size_t index = 0; index < count; ++index) {
        PyObject* name = PyTuple_GET_ITEM(from_list.get(), static_cast<Py_ssize_t>(index));
        Ref value = import_from(imported.get(), name);
        if (!value || PyObject_SetAttr(module, name, value.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

int import_star(PyObject* module, const char* source) {
    Ref star(PyUnicode_FromString("*"));
    Ref from_list(star ? PyTuple_Pack(1, star.get()) : nullptr);
    if (!from_list) {
        return -1;
    }
    Ref imported = import(module, source, from_list.get());
    if (!imported) {
        return -1;
    }
    Ref names = public_names(imported.get());
    if (!names) {
        return -1;
    }
    // Every value is taken before any is bound, so the names reflect one
    // moment of the source module.
    Ref collected(PyDict_New());
    if (!collected) {
        return -1;
    }
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(names.get()); ++index) {
        PyObject* name = PyList_GET_ITEM(names.get(), index);
        Ref value(PyObject_GetAttr(imported.get(), name));
        if (!value || PyDict_SetItem(collected.get(), name, value.get()) < 0) {
            return -1;
        }
    }
    PyObject* name;
    PyObject* value;
    Py_ssize_t position = 0;
    while (PyDict_Next(collected.get(), &position, &name, &value)) {
        if (PyObject_SetAttr(module, name, value) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace velto::frame
