// Argument binding for our functions, with the interpreter's wording of
// argument errors.
#pragma once

#include <Python.h>

#include "velto_ai_sdk/frame/function.h"

namespace velto::frame {

// Binds `args` and `kwargs` (which may be nullptr) to the parameters of
// `def`. On success fills `bound`, one borrowed reference per parameter
// (defaults taken from `defaults`, a tuple or nullptr), sets `*extra` to a new
// dictionary of the leftover keywords when `def` has a catch-all (else to
// nullptr) and returns 0. On failure returns -1 with TypeError set.
int bind_arguments(const FunctionDef& def, PyObject* defaults, PyObject* args, PyObject* kwargs, PyObject** bound,
                   PyObject** extra);

}  // namespace velto::frame
