// The three import statements a module body runs, with the interpreter's
// rules and messages. Each binds into `module` and returns 0, or -1 with an
// exception set.
#pragma once

#include <Python.h>

namespace velto::frame {

// import NAME
int import_module(PyObject* module, const char* name);

// from MODULE import NAME, ... (names bound in the order given)
int import_names(PyObject* module, const char* source, const char* const* names, size_t count);

// from MODULE import *: the names of MODULE.__all__, or else every name of
// its namespace that does not start with an underscore.
int import_star(PyObject* module, const char* source);

}  // namespace velto::frame
