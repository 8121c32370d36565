// What the bodies of modules and functions are written against.
//
// Bodies use pybind11's object handles: every reference is owned by a
// handle, and a failed call throws, so a body reads in the order things
// happen. The frame underneath speaks the C API; the adapters here turn a
// body's C++ exceptions back into the interpreter's error on the way out.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <new>
#include <vector>

#include "velto_ai_sdk/frame/function.h"
#include "velto_ai_sdk/frame/module.h"

namespace velto::frame {

namespace py = pybind11;

// Runs `work`; an exception escaping it becomes the matching interpreter
// error. Returns whether `work` completed.
template <class Work>
bool translate_exceptions(Work&& work) noexcept {
    try {
        work();
        return true;
    } catch (py::error_already_set& error) {
        error.restore();
    } catch (py::builtin_exception& error) {
        error.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return false;
}

// The value of a global name for code running in `globals`, looked up at
// the moment of the call. Throws NameError when there is none.
py::object global(py::handle globals, const char* name);

// What the interpreter's format(value, "") gives: the string form, for
// exceptions.
py::str format(py::handle value);

// Raises an exception of class `type` with `message` (a str).
[[noreturn]] void raise(PyObject* type, py::handle message);

// The interpreter's truth test.
bool is_true(py::handle value);

// The interpreter's `item in container`.
bool contains(py::handle container, py::handle item);

// A function of `def` (a static definition) for code running in `globals`,
// handed `closure` at every call.
py::object new_function(const FunctionDef& def, py::handle globals, py::handle closure = py::handle());

// A class made as a class statement in code running in `globals` makes it;
// see frame/classes.h.
py::object new_class(py::handle globals, const char* name, const char* qualname, py::tuple bases,
                     py::dict body = py::dict(), std::initializer_list<const FunctionDef*> methods = {});

// Prints one line with the built-in print found through `globals`, so the
// line goes wherever the host's sys.stdout goes.
void print_line(py::handle globals, py::handle text);

// A function body's view of its call.
class Arguments {
public:
    explicit Arguments(const Call& call) : call_(call) {}

    py::handle operator[](size_t index) const { return call_.arguments[index]; }
    // The keyword catch-all; only for functions that have one.
    py::dict extra_keywords() const { return py::reinterpret_borrow<py::dict>(call_.extra_keywords); }
    py::handle closure() const { return call_.closure; }
    py::handle globals() const { return call_.globals; }

    py::object global(const char* name) const { return frame::global(globals(), name); }
    // Calls the global `name` with `args`, looked up at this moment.
    template <class... Args>
    py::object call_global(const char* name, Args&&... args) const {
        return global(name)(std::forward<Args>(args)...);
    }
    void set_global(const char* name, py::handle value) const;
    void print(py::handle text) const { print_line(globals(), text); }
    void print(const char* text) const { print(py::str(text)); }

private:
    const Call& call_;
};

using FunctionBody = py::object (*)(const Arguments&);

template <FunctionBody Body>
PyObject* implement(const Call& call) noexcept {
    PyObject* result = nullptr;
    translate_exceptions([&] { result = Body(Arguments(call)).release().ptr(); });
    return result;
}

// The definition of a function whose body is `Body`, with positional-or-
// keyword parameters in the order given. The traceback entries of its
// failures point at the line that defines it.
template <FunctionBody Body>
FunctionDef function(const char* name, std::vector<const char*> parameters, const char* file = __builtin_FILE(),
                     int line = __builtin_LINE()) {
    FunctionDef def;
    def.name = name;
    def.parameters = std::move(parameters);
    def.implementation = &implement<Body>;
    def.source_file = file;
    def.source_line = line;
    return def;
}

// A module body's view of its module. Every binding lands in the module's
// namespace as soon as its statement succeeds.
class Module {
public:
    explicit Module(PyObject* module) : module_(py::reinterpret_borrow<py::module_>(module)) {}

    void import_module(const char* name);
    void import_names(const char* source, std::initializer_list<const char*> names);
    void import_star(const char* source);
    void bind(const char* name, py::handle value);
    // Creates a function of `def` (which must be static) and binds it.
    py::object define(const FunctionDef& def, py::handle defaults = py::handle());
    // Creates a class with the given bases and methods (static definitions)
    // and binds it.
    py::object define_class(const char* name, py::tuple bases, std::initializer_list<const FunctionDef*> methods);
    py::object global(const char* name) const { return frame::global(module_.attr("__dict__"), name); }

private:
    py::module_ module_;
};

using Body = void (*)(Module&);

template <Body ModuleStatements>
int run_body(PyObject* module) noexcept {
    return translate_exceptions([&] {
               Module body(module);
               ModuleStatements(body);
           })
               ? 0
               : -1;
}

// A guarded stage: runs `stage`; an exception of the Exception family is
// reported as one printed line, `prefix` directly followed by the
// exception's text, and goes no further. Anything else (an interrupt, a
// request to exit) passes through. Returns whether the stage completed.
template <class Stage>
bool guarded(const Arguments& call, const char* prefix, Stage&& stage) {
    try {
        stage();
        return true;
    } catch (py::builtin_exception& error) {
        error.set_error();
        py::error_already_set raised;
        if (!raised.matches(PyExc_Exception)) {
            throw;
        }
        call.print(py::str(prefix) + format(raised.value()));
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_Exception)) {
            throw;
        }
        call.print(py::str(prefix) + format(error.value()));
    }
    return false;
}

// A special method as the interpreter finds it: in the namespaces along the
// type's method resolution order (never the instance's own), bound to
// `object` through its descriptor. Null when there is none.
py::object special_method(py::handle object, const char* name);

// The with statement: __enter__ and __exit__ are looked up before __enter__
// is called; an exception from `block` goes to __exit__, which may swallow
// it by returning a true value.
template <class Block>
void with(py::handle manager, Block&& block) {
    py::object enter = special_method(manager, "__enter__");
    py::object exit = special_method(manager, "__exit__");
    if (!enter || !exit) {
        frame::raise(PyExc_TypeError,
                     py::str("'{}' object does not support the context manager protocol")
                         .format(py::type::handle_of(manager).attr("__qualname__")));
    }
    py::object value = enter();
    try {
        block(value);
    } catch (py::error_already_set& error) {
        py::object traceback = error.trace() ? py::object(error.trace()) : py::none();
        py::object swallowed = exit(error.type(), error.value(), traceback);
        int truth = PyObject_IsTrue(swallowed.ptr());
        if (truth < 0) {
            throw py::error_already_set();
        }
        if (truth == 0) {
            throw;
        }
        return;
    }
    exit(py::none(), py::none(), py::none());
}

}  // namespace velto::frame
