#include "velto_ai_sdk/frame/body.h"

#include "velto_ai_sdk/frame/classes.h"
#include "velto_ai_sdk/frame/imports.h"

namespace velto::frame {

namespace {

void check(int status) {
    if (status < 0) {
        throw py::error_already_set();
    }
}

py::object steal_or_throw(PyObject* object) {
    if (object == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(object);
}

}  // namespace

py::object global(py::handle globals, const char* name) { return steal_or_throw(lookup_global(globals.ptr(), name)); }

py::str format(py::handle value) {
    py::str empty("");
    return py::reinterpret_steal<py::str>(steal_or_throw(PyObject_Format(value.ptr(), empty.ptr())).release());
}

void raise(PyObject* type, py::handle message) {
    PyErr_SetObject(type, message.ptr());
    throw py::error_already_set();
}

bool is_true(py::handle value) {
    int truth = PyObject_IsTrue(value.ptr());
    check(truth);
    return truth != 0;
}

bool contains(py::handle container, py::handle item) {
    int found = PySequence_Contains(container.ptr(), item.ptr());
    check(found);
    return found != 0;
}

py::object new_function(const FunctionDef& def, py::handle globals, py::handle closure) {
    return steal_or_throw(frame::new_function(def, globals.ptr(), nullptr, closure.ptr()));
}

py::object new_class(py::handle globals, const char* name, const char* qualname, py::tuple bases, py::dict body,
                     std::initializer_list<const FunctionDef*> methods) {
    return steal_or_throw(frame::new_class(globals.ptr(), name, qualname, bases.ptr(), body.ptr(), methods.begin(),
                                           methods.size()));
}

py::object special_method(py::handle object, const char* name) {
    py::str key(name);
    for (py::handle base : py::type::handle_of(object).attr("__mro__")) {
        py::object namespace_dict = base.attr("__dict__");
        if (!contains(namespace_dict, key)) {
            continue;
        }
        py::object attribute = namespace_dict[key];
        descrgetfunc bind = Py_TYPE(attribute.ptr())->tp_descr_get;
        if (bind == nullptr) {
            return attribute;
        }
        return steal_or_throw(bind(attribute.ptr(), object.ptr(), py::type::handle_of(object).ptr()));
    }
    return py::object();
}

void print_line(py::handle globals, py::handle text) { global(globals, "print")(text); }

void Arguments::set_global(const char* name, py::handle value) const {
    check(PyDict_SetItemString(globals().ptr(), name, value.ptr()));
}

void Module::import_module(const char* name) { check(frame::import_module(module_.ptr(), name)); }

void Module::import_names(const char* source, std::initializer_list<const char*> names) {
    check(frame::import_names(module_.ptr(), source, names.begin(), names.size()));
}

void Module::import_star(const char* source) { check(frame::import_star(module_.ptr(), source)); }

void Module::bind(const char* name, py::handle value) { check(PyObject_SetAttrString(module_.ptr(), name, value.ptr())); }

py::object Module::define(const FunctionDef& def, py::handle defaults) {
    py::object function = steal_or_throw(new_function(def, module_.attr("__dict__").ptr(), defaults.ptr(), nullptr));
    bind(def.name, function);
    return function;
}

py::object Module::define_class(const char* name, py::tuple bases, std::initializer_list<const FunctionDef*> methods) {
    py::object cls = frame::new_class(module_.attr("__dict__"), name, nullptr, bases, py::dict(), methods);
    bind(name, cls);
    return cls;
}

}  // namespace velto::frame
