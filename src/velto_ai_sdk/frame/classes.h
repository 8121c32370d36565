// Classes made by module bodies.
#pragma once

#include <Python.h>

#include "velto_ai_sdk/frame/function.h"

namespace velto::frame {

// Makes a class the way a class statement in code running in `globals` does:
// the bases resolved through __mro_entries__ (the written tuple kept as
// __orig_bases__ when that changes them), the most derived metaclass, the
// namespace from its __prepare__ holding __module__ (globals["__name__"]),
// __qualname__ (`qualname`, or the name when nullptr) and then the entries of
// `body` (a dict, or nullptr), in their order.
//
// The methods, functions of our type, are set on the class once the
// metaclass has made it: a metaclass such as pydantic's turns every class
// attribute it does not know for a plain function into a field, and would
// refuse a "field" named like a method of a base. Set afterwards, they are
// ordinary methods that bind to the instance.
//
// Returns a new reference, or nullptr with an exception set.
PyObject* new_class(PyObject* globals, const char* name, const char* qualname, PyObject* bases, PyObject* body,
                    const FunctionDef* const* methods, size_t method_count);

}  // namespace velto::frame
