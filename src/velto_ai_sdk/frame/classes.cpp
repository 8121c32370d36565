#include "velto_ai_sdk/frame/classes.h"

#include "velto_ai_sdk/frame/ref.h"

namespace velto::frame {

namespace {

// The standard library carries the class-creation protocol in
// types.resolve_bases and types.prepare_class; a class statement does the same.
struct PreparedClass {
    Ref metaclass;
    Ref namespace_dict;
    Ref bases;  // resolved
};

bool prepare(const char* name, PyObject* bases, PreparedClass& prepared) {
    Ref types(PyImport_ImportModule("types"));
    if (!types) {
        return false;
    }
    prepared.bases = Ref(PyObject_CallMethod(types.get(), "resolve_bases", "(O)", bases));
    if (!prepared.bases) {
        return false;
    }
    Ref triple(PyObject_CallMethod(types.get(), "prepare_class", "sO", name, prepared.bases.get()));
    if (!triple) {
        return false;
    }
    if (!PyTuple_Check(triple.get()) || PyTuple_GET_SIZE(triple.get()) != 3) {
        PyErr_SetString(PyExc_SystemError, "types.prepare_class() gave no (metaclass, namespace, keywords)");
        return false;
    }
    prepared.metaclass = Ref::borrow(PyTuple_GET_ITEM(triple.get(), 0));
    prepared.namespace_dict = Ref::borrow(PyTuple_GET_ITEM(triple.get(), 1));
    return true;
}

int set_item(PyObject* mapping, const char* key, PyObject* value) {
    Ref key_object(PyUnicode_InternFromString(key));
    return key_object ? PyObject_SetItem(mapping, key_object.get(), value) : -1;
}

}  // namespace

PyObject* new_class(PyObject* globals, const char* name, const char* qualname, PyObject* bases, PyObject* body,
                    const FunctionDef* const* methods, size_t method_count) {
    PreparedClass prepared;
    if (!prepare(name, bases, prepared)) {
        return nullptr;
    }
    PyObject* namespace_dict = prepared.namespace_dict.get();
    PyObject* module_name = PyDict_GetItemString(globals, "__name__");  // borrowed
    Ref name_object(PyUnicode_FromString(name));
    Ref qualname_object(PyUnicode_FromString(qualname != nullptr ? qualname : name));
    if (!name_object || !qualname_object ||
        set_item(namespace_dict, "__module__", module_name != nullptr ? module_name : Py_None) < 0 ||
        set_item(namespace_dict, "__qualname__", qualname_object.get()) < 0) {
        return nullptr;
    }
    if (body != nullptr) {
        PyObject* key;
        PyObject* value;
        Py_ssize_t position = 0;
        while (PyDict_Next(body, &position, &key, &value)) {
            if (PyObject_SetItem(namespace_dict, key, value) < 0) {
                return nullptr;
            }
        }
    }
    if (prepared.bases.get() != bases && set_item(namespace_dict, "__orig_bases__", bases) < 0) {
        return nullptr;
    }
    Ref cls(PyObject_CallFunctionObjArgs(prepared.metaclass.get(), name_object.get(), prepared.bases.get(),
                                         namespace_dict, nullptr));
    if (!cls) {
        return nullptr;
    }
    for (size_t index = 0; index < method_count; ++index) {
        Ref method(new_function(*methods[index], globals, nullptr, nullptr));
        if (!method || PyObject_SetAttrString(cls.get(), methods[index]->name, method.get()) < 0) {
            return nullptr;
        }
    }
    return cls.release();
}

}  // namespace velto::frame
