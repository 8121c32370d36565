#include "velto_ai_sdk/frame/function.h"

#include <structmember.h>

#include <string>

#include "velto_ai_sdk/frame/arguments.h"
#include "velto_ai_sdk/frame/ref.h"
#include "velto_ai_sdk/frame/traceback.h"

namespace velto::frame {

namespace {

struct FunctionObject {
    PyObject_HEAD
    const FunctionDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;  // a tuple, or nullptr
    PyObject* globals;
    PyObject* closure;
    PyObject* annotations;  // made on first use
    PyObject* dict;
    PyObject* traceback_name;  // "<module>.<qualname>", fixed at creation
    PyObject* weak_references;
};

FunctionObject* as_function(PyObject* object) { return reinterpret_cast<FunctionObject*>(object); }

PyTypeObject function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

// Calling ----------------------------------------------------------------

// The bound arguments, held for the length of the call as the interpreter's
// own functions hold theirs: a callee that reassigns __defaults__ or empties
// the keyword dictionary must not free a value still in use. Short lists
// live on the stack.
class BoundArguments {
public:
    explicit BoundArguments(size_t count) : count_(count), heap_(count > kInline ? count : 0) {}
    ~BoundArguments() {
        if (held_) {
            for (size_t index = 0; index < count_; ++index) {
                Py_DECREF(data()[index]);
            }
        }
    }
    BoundArguments(const BoundArguments&) = delete;
    BoundArguments& operator=(const BoundArguments&) = delete;

    PyObject** data() { return heap_.empty() ? inline_ : heap_.data(); }
    void hold() {
        for (size_t index = 0; index < count_; ++index) {
            Py_INCREF(data()[index]);
        }
        held_ = true;
    }

private:
    static constexpr size_t kInline = 8;
    size_t count_;
    bool held_ = false;
    PyObject* inline_[kInline] = {};
    std::vector<PyObject*> heap_;
};

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    FunctionObject* function = as_function(self);
    const FunctionDef& def = *function->def;
    // Held for the traceback entry too, whatever the callee does meanwhile.
    Ref globals = Ref::borrow(function->globals);
    Ref closure = Ref::borrow(function->closure);
    BoundArguments bound(def.parameters.size());
    PyObject* extra = nullptr;
    PyObject* result = nullptr;
    if (bind_arguments(def, function->defaults, args, kwargs, bound.data(), &extra) == 0) {
        bound.hold();
        Ref gathered(extra);
        Call call{self, globals.get(), bound.data(), gathered.get(), closure.get()};
        result = def.implementation(call);
        if (result == nullptr && !PyErr_Occurred()) {
            PyErr_Format(PyExc_SystemError, "%s returned no result and no error", def.name);
        }
    }
    if (result == nullptr) {
        add_traceback_entry(function->traceback_name, path_in_package(def.source_file), def.source_line,
                            globals.get());
    }
    return result;
}

// Fetched through an instance, the function binds as a method.
PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, instance);
}

// Attributes ---------------------------------------------------------------

PyObject* get_name(PyObject* self, void*) {
    Py_INCREF(as_function(self)->name);
    return as_function(self)->name;
}

int set_text_attribute(PyObject** slot, PyObject* value, const char* attribute) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(*slot, value);
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_text_attribute(&as_function(self)->name, value, "__name__");
}

PyObject* get_qualname(PyObject* self, void*) {
    Py_INCREF(as_function(self)->qualname);
    return as_function(self)->qualname;
}

int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text_attribute(&as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_defaults(PyObject* self, void*) {
    PyObject* defaults = as_function(self)->defaults;
    if (defaults == nullptr) {
        Py_RETURN_NONE;
    }
    Py_INCREF(defaults);
    return defaults;
}

int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(as_function(self)->defaults, value);
    return 0;
}

PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* function = as_function(self);
    if (function->annotations == nullptr) {
        function->annotations = PyDict_New();
        if (function->annotations == nullptr) {
            return nullptr;
        }
    }
    Py_INCREF(function->annotations);
    return function->annotations;
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(as_function(self)->annotations, value);
    return 0;
}

// inspect.signature asks for __signature__ before anything else; the answer
// is built from the parameters, the current defaults and the annotations.
PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* function = as_function(self);
    const FunctionDef& def = *function->def;
    Ref inspect(PyImport_ImportModule("inspect"));
    if (!inspect) {
        return nullptr;
    }
    Ref parameter_class(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature_class(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!parameter_class || !signature_class) {
        return nullptr;
    }
    Ref empty(PyObject_GetAttrString(parameter_class.get(), "empty"));
    Ref positional_or_keyword(PyObject_GetAttrString(parameter_class.get(), "POSITIONAL_OR_KEYWORD"));
    Ref var_keyword(PyObject_GetAttrString(parameter_class.get(), "VAR_KEYWORD"));
    if (!empty || !positional_or_keyword || !var_keyword) {
        return nullptr;
    }
    // Held: building the parameters calls into the interpreter.
    Ref annotations = Ref::borrow(function->annotations);
    Ref defaults_tuple = Ref::borrow(function->defaults);
    auto annotation_of = [&](const char* name) -> PyObject* {
        PyObject* found = annotations ? PyDict_GetItemString(annotations.get(), name) : nullptr;
        return found != nullptr ? found : empty.get();
    };
    auto new_parameter = [&](const char* name, PyObject* kind, PyObject* default_value) -> PyObject* {
        Ref keywords(Py_BuildValue("{s:s,s:O,s:O,s:O}", "name", name, "kind", kind, "default", default_value,
                                   "annotation", annotation_of(name)));
        Ref no_args(PyTuple_New(0));
        if (!keywords || !no_args) {
            return nullptr;
        }
        return PyObject_Call(parameter_class.get(), no_args.get(), keywords.get());
    };

    const Py_ssize_t count = static_cast<Py_ssize_t>(def.parameters.size());
    const Py_ssize_t defaults = defaults_tuple ? PyTuple_GET_SIZE(defaults_tuple.get()) : 0;
    Ref parameters(PyList_New(0));
    if (!parameters) {
        return nullptr;
    }
    for (Py_ssize_t index = 0; index < count; ++index) {
        Py_ssize_t from_end = count - index;
        PyObject* default_value =
            from_end <= defaults ? PyTuple_GET_ITEM(defaults_tuple.get(), defaults - from_end) : empty.get();
        Ref parameter(new_parameter(def.parameters[index], positional_or_keyword.get(), default_value));
        if (!parameter || PyList_Append(parameters.get(), parameter.get()) < 0) {
            return nullptr;
        }
    }
    if (def.extra_keywords != nullptr) {
        Ref parameter(new_parameter(def.extra_keywords, var_keyword.get(), empty.get()));
        if (!parameter || PyList_Append(parameters.get(), parameter.get()) < 0) {
            return nullptr;
        }
    }
    Ref arguments(PyTuple_Pack(1, parameters.get()));
    Ref keywords(Py_BuildValue("{s:O}", "return_annotation", annotation_of("return")));
    if (!arguments || !keywords) {
        return nullptr;
    }
    return PyObject_Call(signature_class.get(), arguments.get(), keywords.get());
}

// Pickled and copied by reference, as the interpreter's functions are.
PyObject* function_reduce(PyObject* self, PyObject*) {
    Py_INCREF(as_function(self)->qualname);
    return as_function(self)->qualname;
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Lifetime -----------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* function = as_function(self);
    Py_VISIT(function->name);
    Py_VISIT(function->qualname);
    Py_VISIT(function->module);
    Py_VISIT(function->doc);
    Py_VISIT(function->defaults);
    Py_VISIT(function->globals);
    Py_VISIT(function->closure);
    Py_VISIT(function->annotations);
    Py_VISIT(function->dict);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* function = as_function(self);
    Py_CLEAR(function->module);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->defaults);
    Py_CLEAR(function->globals);
    Py_CLEAR(function->closure);
    Py_CLEAR(function->annotations);
    Py_CLEAR(function->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* function = as_function(self);
    PyObject_GC_UnTrack(self);
    if (function->weak_references != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->traceback_name);
    PyObject_GC_Del(self);
}

PyMemberDef function_members[] = {
    {const_cast<char*>("__module__"), T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {const_cast<char*>("__doc__"), T_OBJECT, offsetof(FunctionObject, doc), 0, nullptr},
    {const_cast<char*>("__globals__"), T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {const_cast<char*>("__name__"), get_name, set_name, nullptr, nullptr},
    {const_cast<char*>("__qualname__"), get_qualname, set_qualname, nullptr, nullptr},
    {const_cast<char*>("__defaults__"), get_defaults, set_defaults, nullptr, nullptr},
    {const_cast<char*>("__kwdefaults__"), get_kwdefaults, nullptr, nullptr, nullptr},
    {const_cast<char*>("__annotations__"), get_annotations, set_annotations, nullptr, nullptr},
    {const_cast<char*>("__signature__"), get_signature, nullptr, nullptr, nullptr},
    {const_cast<char*>("__dict__"), PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* ready_function_type() {
    if (function_type.tp_flags & Py_TPFLAGS_READY) {
        return &function_type;
    }
    function_type.tp_name = "velto_ai_sdk.function";
    function_type.tp_basicsize = sizeof(FunctionObject);
    function_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    function_type.tp_doc = "A function of the velto_ai_sdk extension modules.";
    function_type.tp_dealloc = function_dealloc;
    function_type.tp_traverse = function_traverse;
    function_type.tp_clear = function_clear;
    function_type.tp_call = function_call;
    function_type.tp_repr = function_repr;
    function_type.tp_descr_get = function_descr_get;
    function_type.tp_members = function_members;
    function_type.tp_getset = function_getset;
    function_type.tp_methods = function_methods;
    function_type.tp_dictoffset = offsetof(FunctionObject, dict);
    function_type.tp_weaklistoffset = offsetof(FunctionObject, weak_references);
    if (PyType_Ready(&function_type) < 0) {
        return nullptr;
    }
    return &function_type;
}

}  // namespace

PyObject* new_function(const FunctionDef& def, PyObject* globals, PyObject* defaults, PyObject* closure) {
    PyTypeObject* type = ready_function_type();
    if (type == nullptr) {
        return nullptr;
    }
    Ref name(PyUnicode_FromString(def.name));
    Ref qualname(PyUnicode_FromString(def.qualified_name()));
    Ref doc = def.doc != nullptr ? Ref(PyUnicode_FromString(def.doc)) : Ref::borrow(Py_None);
    if (!name || !qualname || !doc) {
        return nullptr;
    }
    PyObject* module_name = PyDict_GetItemString(globals, "__name__");  // borrowed
    if (module_name != nullptr && !PyUnicode_Check(module_name)) {
        module_name = nullptr;
    }
    Ref traceback_name = module_name != nullptr ? Ref(PyUnicode_FromFormat("%U.%U", module_name, qualname.get()))
                                                : Ref::borrow(qualname.get());
    if (!traceback_name) {
        return nullptr;
    }
    FunctionObject* function = PyObject_GC_New(FunctionObject, type);
    if (function == nullptr) {
        return nullptr;
    }
    function->def = &def;
    function->name = name.release();
    function->qualname = qualname.release();
    function->doc = doc.release();
    function->module = Ref::borrow(module_name != nullptr ? module_name : Py_None).release();
    function->defaults = Ref::borrow(defaults == Py_None ? nullptr : defaults).release();
    function->globals = Ref::borrow(globals).release();
    function->closure = Ref::borrow(closure).release();
    function->annotations = nullptr;
    function->dict = nullptr;
    function->weak_references = nullptr;
    function->traceback_name = traceback_name.release();
    PyObject_GC_Track(function);
    return reinterpret_cast<PyObject*>(function);
}

bool is_function(PyObject* object) { return Py_TYPE(object) == &function_type; }

PyObject* lookup_global(PyObject* globals, const char* name) {
    Ref key(PyUnicode_InternFromString(name));
    if (!key) {
        return nullptr;
    }
    PyObject* found = PyDict_GetItemWithError(globals, key.get());  // borrowed
    if (found != nullptr || PyErr_Occurred()) {
        Py_XINCREF(found);
        return found;
    }
    PyObject* builtins = PyDict_GetItemString(globals, "__builtins__");  // borrowed
    if (builtins != nullptr) {
        if (PyModule_Check(builtins)) {
            builtins = PyModule_GetDict(builtins);
        }
        if (PyDict_Check(builtins)) {
            found = PyDict_GetItemWithError(builtins, key.get());
            if (found != nullptr || PyErr_Occurred()) {
                Py_XINCREF(found);
                return found;
            }
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
    return nullptr;
}

}  // namespace velto::frame
