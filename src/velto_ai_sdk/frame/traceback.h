// Traceback entries for failures inside the modules, so that a traceback
// shows which module body or which function an exception passed through.
#pragma once

#include <Python.h>

namespace velto::frame {

// Adds one entry, `function_name` at `source_file`:`line`, to the traceback of
// the exception being raised. `source_file` is a path inside the package
// directory; the entry names it under the directory of the module's
// `__file__` in `globals`. Keeps the exception as it is, whatever happens.
void add_traceback_entry(const char* function_name, const char* source_file, int line, PyObject* globals);
void add_traceback_entry(PyObject* function_name, const char* source_file, int line, PyObject* globals);

// The part of a compiler-given source path below the package directory
// ("codetool/execution.cpp" for ".../src/velto_ai_sdk/codetool/execution.cpp").
const char* path_in_package(const char* source_path);

}  // namespace velto::frame
