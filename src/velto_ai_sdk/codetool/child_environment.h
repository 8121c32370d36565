// The environment of the script's process: what a Python script needs to
// run and nothing else, so that no key, password or database URL of the
// host reaches code the model wrote.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace velto::codetool {

namespace py = pybind11;

// "NAME=value" entries, file-system encoded, from `environ` (os.environ):
// the allowed names, those the host passes on purpose, and MPLBACKEND=Agg
// unless the host chose a backend.
std::vector<std::string> child_environment(py::handle environ, py::handle passed_names);

}  // namespace velto::codetool
