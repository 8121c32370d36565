#include "velto_ai_sdk/codetool/child_environment.h"

#include "velto_ai_sdk/frame/body.h"

namespace velto::codetool {

namespace {

// The locale (LANG, LC_*) keeps the script's output in the host's encoding,
// which is the one it is decoded with.
bool allowed(const std::string& name) {
    static const char* const names[] = {"PATH", "HOME", "LANG", "TZ", "TMPDIR", "TERM", "USER", "LOGNAME"};
    for (const char* allowed_name : names) {
        if (name == allowed_name) {
            return true;
        }
    }
    return name.compare(0, 3, "LC_") == 0;
}

// A backend named "module://..." is a module of the host's interpreter (a
// notebook's inline backend is one); the private environment lacks it, and
// matplotlib would refuse to load with it.
bool hosts_own_backend(const std::string& value) { return value.compare(0, 9, "module://") == 0; }

std::string encoded(py::handle text) {
    PyObject* bytes = PyUnicode_EncodeFSDefault(text.ptr());
    if (bytes == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::bytes>(bytes).cast<std::string>();
}

}  // namespace

std::vector<std::string> child_environment(py::handle environ, py::handle passed_names) {
    std::vector<std::string> entries;
    bool backend_chosen = false;
    for (py::handle item : environ.attr("items")()) {
        py::object name = item[py::int_(0)];
        std::string key = encoded(name);
        bool backend = key == "MPLBACKEND";
        if (!backend && !allowed(key) && !frame::contains(passed_names, name)) {
            continue;
        }
        std::string value = encoded(item[py::int_(1)]);
        if (backend && hosts_own_backend(value)) {
            continue;
        }
        backend_chosen = backend_chosen || backend;
        entries.push_back(key + "=" + value);
    }
    // Charts are written to files; there is no display to open.
    if (!backend_chosen) {
        entries.push_back("MPLBACKEND=Agg");
    }
    return entries;
}

}  // namespace velto::codetool
