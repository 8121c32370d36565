#include "velto_ai_sdk/frame/arguments.h"

#include "velto_ai_sdk/frame/ref.h"

namespace velto::frame {

namespace {

// One message for every wrong count: "exactly" when the function has no
// defaults, else "at least" or "at most" by the side that was missed.
void raise_count_error(const char* name, bool exact, Py_ssize_t minimum, Py_ssize_t maximum, Py_ssize_t given) {
    Py_ssize_t expected = maximum;
    const char* more_or_less = "at most";
    if (given < minimum) {
        expected = minimum;
        more_or_less = "at least";
    }
    if (exact) {
        more_or_less = "exactly";
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name, more_or_less,
                 expected, expected == 1 ? "" : "s", given);
}

Py_ssize_t parameter_index(const FunctionDef& def, PyObject* keyword) {
    for (size_t index = 0; index < def.parameters.size(); ++index) {
        if (PyUnicode_CompareWithASCIIString(keyword, def.parameters[index]) == 0) {
            return static_cast<Py_ssize_t>(index);
        }
    }
    return -1;
}

// Keywords that no parameter took: an error each, unless the function
// gathers them in its catch-all.
int bind_leftover_keywords(const FunctionDef& def, PyObject* kwargs, Py_ssize_t positional, PyObject* extra) {
    PyObject* keyword;
    PyObject* value;
    Py_ssize_t position = 0;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) {
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
            return -1;
        }
        Py_ssize_t index = parameter_index(def, keyword);
        if (index >= 0 && index < positional) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", def.name, keyword);
            return -1;
        }
        if (index >= 0) {
            continue;  // taken by its parameter already
        }
        if (extra == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def.name, keyword);
            return -1;
        }
        if (PyDict_SetItem(extra, keyword, value) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace

int bind_arguments(const FunctionDef& def, PyObject* defaults, PyObject* args, PyObject* kwargs, PyObject** bound,
                   PyObject** extra) {
    *extra = nullptr;
    const Py_ssize_t parameters = static_cast<Py_ssize_t>(def.parameters.size());
    const Py_ssize_t all_defaults = defaults != nullptr ? PyTuple_GET_SIZE(defaults) : 0;
    // Like the interpreter's functions, defaults belong to the last parameters.
    const Py_ssize_t usable_defaults = all_defaults < parameters ? all_defaults : parameters;
    const Py_ssize_t required = parameters - usable_defaults;
    const bool exact = usable_defaults == 0;
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    const bool has_keywords = kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0;

    if (positional > parameters || (!has_keywords && positional < required)) {
        raise_count_error(def.name, exact, required, parameters, positional);
        return -1;
    }
    for (Py_ssize_t index = 0; index < positional; ++index) {
        bound[index] = PyTuple_GET_ITEM(args, index);
    }
    Py_ssize_t keywords_taken = 0;
    for (Py_ssize_t index = positional; index < parameters; ++index) {
        PyObject* value = has_keywords ? PyDict_GetItemString(kwargs, def.parameters[index]) : nullptr;
        if (value != nullptr) {
            ++keywords_taken;
        } else if (index < required) {
            // The count names the position of the first parameter found nowhere.
            raise_count_error(def.name, exact, required, parameters, index);
            return -1;
        } else {
            value = PyTuple_GET_ITEM(defaults, all_defaults - (parameters - index));
        }
        bound[index] = value;
    }

    Ref gathered;
    if (def.extra_keywords != nullptr) {
        gathered = Ref(PyDict_New());
        if (!gathered) {
            return -1;
        }
    }
    if (has_keywords && keywords_taken < PyDict_GET_SIZE(kwargs)) {
        if (bind_leftover_keywords(def, kwargs, positional, gathered.get()) < 0) {
            return -1;
        }
    }
    *extra = gathered.release();
    return 0;
}

}  // namespace velto::frame
