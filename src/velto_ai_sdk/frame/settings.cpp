#include "velto_ai_sdk/frame/settings.h"

#include <cmath>

#include "velto_ai_sdk/frame/body.h"

namespace velto::frame::settings {

namespace {

// The bounds as the message words them; `maximum` None when there is none.
py::str range(py::handle minimum, py::handle maximum, const char* unit) {
    if (maximum.is_none()) {
        return py::str(", {}{} or more,").format(minimum, unit);
    }
    return py::str(" from {} to {}{},").format(minimum, maximum, unit);
}

[[noreturn]] void refuse(const char* name, const char* kind, py::str bounds, py::handle raw) {
    frame::raise(PyExc_ValueError, py::str("{} must be {}{} not {}").format(name, kind, bounds, py::repr(raw)));
}

// The result of converting `raw` with `convert`, or null when the text is
// not a value of that kind (the interpreter's ValueError).
template <class Convert>
py::object converted(Convert&& convert) {
    PyObject* value = convert();
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
    }
    return py::reinterpret_steal<py::object>(value);
}

}  // namespace

py::str shown(double value) {
    if (std::isfinite(value) && std::floor(value) == value) {
        PyObject* whole = PyLong_FromDouble(value);
        if (whole == nullptr) {
            throw py::error_already_set();
        }
        return py::str(py::reinterpret_steal<py::object>(whole));
    }
    return py::repr(py::float_(value));
}

py::object text(py::handle environ, const char* name) {
    py::object value = environ.attr("get")(name, "").attr("strip")();
    return is_true(value) ? value : py::none();
}

long long integer(py::handle environ, const char* name, long long fallback, long long minimum, long long maximum) {
    py::object raw = text(environ, name);
    if (raw.is_none()) {
        return fallback;
    }
    py::object value = converted([&] { return PyLong_FromUnicodeObject(raw.ptr(), 10); });
    int overflow = 0;
    long long number = value ? PyLong_AsLongLongAndOverflow(value.ptr(), &overflow) : 0;
    if (!value || overflow != 0 || number < minimum || number > maximum) {
        refuse(name, "a whole number", range(py::int_(minimum), py::int_(maximum), ""), raw);
    }
    return number;
}

double number(py::handle environ, const char* name, double fallback, double minimum, double maximum,
              const char* unit) {
    py::object raw = text(environ, name);
    if (raw.is_none()) {
        return fallback;
    }
    py::object value = converted([&] { return PyFloat_FromString(raw.ptr()); });
    double number = value ? PyFloat_AsDouble(value.ptr()) : NAN;
    if (!std::isfinite(number) || number < minimum || (maximum >= 0 && number > maximum)) {
        py::object upper = maximum < 0 ? py::object(py::none()) : py::object(shown(maximum));
        refuse(name, "a number", range(shown(minimum), upper, unit), raw);
    }
    return number;
}

bool flag(py::handle environ, const char* name) {
    py::object raw = text(environ, name);
    if (raw.is_none()) {
        return false;
    }
    py::object lowered = raw.attr("lower")();
    for (const char* word : {"1", "true", "yes", "on"}) {
        if (lowered.equal(py::str(word))) {
            return true;
        }
    }
    for (const char* word : {"0", "false", "no", "off"}) {
        if (lowered.equal(py::str(word))) {
            return false;
        }
    }
    frame::raise(PyExc_ValueError,
                 py::str("{} must be 1 or 0 (or true/false, yes/no, on/off), not {}").format(name, py::repr(raw)));
}

py::list names(py::handle environ, const char* name) {
    py::list result;
    py::object raw = text(environ, name);
    if (raw.is_none()) {
        return result;
    }
    for (py::handle part : raw.attr("split")(",")) {
        py::object stripped = part.attr("strip")();
        if (is_true(stripped)) {
            result.append(stripped);
        }
    }
    return result;
}

std::string choice(py::handle environ, const char* name, const char* fallback,
                   std::initializer_list<const char*> choices) {
    py::object raw = text(environ, name);
    if (raw.is_none()) {
        return fallback;
    }
    py::object lowered = raw.attr("lower")();
    std::string words;
    size_t left = choices.size();
    for (const char* word : choices) {
        if (lowered.equal(py::str(word))) {
            return word;
        }
        words += word;
        words += --left > 1 ? ", " : left == 1 ? " or " : "";
    }
    frame::raise(PyExc_ValueError, py::str("{} must be {}, not {}").format(name, words, py::repr(raw)));
}

py::list paths(py::handle environ, const char* name) {
    py::list result;
    py::object raw = text(environ, name);
    if (raw.is_none()) {
        return result;
    }
    py::module_ os_path = py::module_::import("os.path");
    for (py::handle part : raw.attr("split")(py::module_::import("os").attr("pathsep"))) {
        py::object stripped = part.attr("strip")();
        if (is_true(stripped)) {
            result.append(os_path.attr("abspath")(os_path.attr("expanduser")(stripped)));
        }
    }
    return result;
}

}  // namespace velto::frame::settings
