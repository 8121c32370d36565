// Our function type: the callables that module bodies create.
//
// They behave like the interpreter's own functions where callers look:
// __name__, __qualname__, __module__, __doc__, __defaults__, __globals__,
// __annotations__ and __dict__; a signature for inspect.signature; binding
// as a method when stored in a class; argument errors worded the same way.
// Their bodies are C++ and find every global name in __globals__ at the
// moment they use it, so a host that rebinds a module attribute is heard.
#pragma once

#include <Python.h>

#include <vector>

namespace velto::frame {

// The arguments of one call, bound to the parameters. All borrowed.
struct Call {
    PyObject* function;
    PyObject* globals;
    PyObject* const* arguments;  // one per parameter, in order, defaults filled in
    PyObject* extra_keywords;    // the keyword catch-all, or nullptr when there is none
    PyObject* closure;           // what the function was created with, or nullptr
};

// A new reference, or nullptr with an exception set.
using Implementation = PyObject* (*)(const Call& call);

// What a function is, fixed at compile time. Definitions live as long as
// the module (they are static), and function objects point at them.
struct FunctionDef {
    const char* name = nullptr;
    const char* qualname = nullptr;  // the name, when not given
    std::vector<const char*> parameters;
    const char* extra_keywords = nullptr;  // name of the ** catch-all, if any
    const char* doc = nullptr;
    Implementation implementation = nullptr;
    const char* source_file = nullptr;  // for traceback entries
    int source_line = 0;

    FunctionDef with_qualname(const char* value) const {
        FunctionDef copy = *this;
        copy.qualname = value;
        return copy;
    }
    FunctionDef with_extra_keywords(const char* value) const {
        FunctionDef copy = *this;
        copy.extra_keywords = value;
        return copy;
    }
    FunctionDef with_doc(const char* value) const {
        FunctionDef copy = *this;
        copy.doc = value;
        return copy;
    }
    const char* qualified_name() const { return qualname != nullptr ? qualname : name; }
};

// A new function object for `def`, with `globals` as its namespace (its
// __module__ is globals["__name__"]), `defaults` as __defaults__ (a tuple, or
// nullptr for none) and `closure` handed to every call (or nullptr).
PyObject* new_function(const FunctionDef& def, PyObject* globals, PyObject* defaults, PyObject* closure);

bool is_function(PyObject* object);

// The value of `name` for code running in `globals`: the module namespace
// first, then the builtins. A new reference, or nullptr with NameError set.
PyObject* lookup_global(PyObject* globals, const char* name);

}  // namespace velto::frame
