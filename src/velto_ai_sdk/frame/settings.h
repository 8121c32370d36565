// Settings read from the environment by the one rule of
// velto_ai_sdk/settings.py, with its messages word for word: unset or blank
// is the default; anything else must be a value of the setting's kind within
// its range, or it is a ValueError naming the variable, what it holds and
// what it may hold. Nothing is clamped.
//
// The text goes through the interpreter's own int(), float() and str.strip(),
// so a value is accepted here exactly when the Python reader accepts it.
// `environ` is the mapping to read (os.environ as the caller's module sees
// it).
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>

namespace velto::frame::settings {

namespace py = pybind11;

// The value without surrounding spaces, or None when unset or blank.
py::object text(py::handle environ, const char* name);

// A whole number within [minimum, maximum].
long long integer(py::handle environ, const char* name, long long fallback, long long minimum, long long maximum);

// A finite number within [minimum, maximum]; `unit` (such as " seconds")
// only words the message. A negative `maximum` means there is none.
double number(py::handle environ, const char* name, double fallback, double minimum, double maximum = -1,
              const char* unit = "");

// A switch: 1/true/yes/on or 0/false/no/off (any case); unset means off.
bool flag(py::handle environ, const char* name);

// A comma-separated list of names (str), spaces and empty entries dropped.
py::list names(py::handle environ, const char* name);

// One of `choices` (any case; the value returned is the choice as given),
// or `fallback` when unset.
std::string choice(py::handle environ, const char* name, const char* fallback,
                   std::initializer_list<const char*> choices);

// Paths separated by os.pathsep, empty entries dropped, each made absolute
// against the working directory (~ expanded).
py::list paths(py::handle environ, const char* name);

// A number as the messages show it: 300, not 300.0; 0.25 as it is.
py::str shown(double value);

}  // namespace velto::frame::settings
