// velto_frame_probe: functions of every shape the frame supports, and thin
// doors onto its import, class and stage helpers.
//
// Its body imports `velto_probe_gate` (which the tests provide, or withhold
// to make the body fail) and calls the gate's record() once per run.
#include "velto_ai_sdk/frame/body.h"
#include "velto_ai_sdk/frame/imports.h"

#include <string>
#include <vector>

namespace {

namespace py = pybind11;
namespace frame = velto::frame;

// Every bound argument, in order.
template <size_t Count>
py::object bound_values(const frame::Arguments& call) {
    py::list values;
    for (size_t index = 0; index < Count; ++index) {
        values.append(call[index]);
    }
    return values;
}

py::object catch_all_body(const frame::Arguments& call) {
    return py::make_tuple(bound_values<3>(call), call.extra_keywords());
}

py::object fail_body(const frame::Arguments& call) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(call[0].ptr())), call[0].ptr());
    throw py::error_already_set();
}

py::object lookup_body(const frame::Arguments& call) { return call.global(py::str(call[0]).cast<std::string>().c_str()); }

py::object star_import_body(const frame::Arguments& call) {
    std::string source = py::str(call[1]);
    if (frame::import_star(call[0].ptr(), source.c_str()) < 0) {
        throw py::error_already_set();
    }
    return py::none();
}

py::object import_names_body(const frame::Arguments& call) {
    std::string source = py::str(call[1]);
    std::vector<std::string> names;
    for (py::handle name : call[2]) {
        names.push_back(py::str(name));
    }
    std::vector<const char*> pointers;
    for (const std::string& name : names) {
        pointers.push_back(name.c_str());
    }
    if (frame::import_names(call[0].ptr(), source.c_str(), pointers.data(), pointers.size()) < 0) {
        throw py::error_already_set();
    }
    return py::none();
}

const frame::FunctionDef plan = frame::function<catch_all_body>("plan", {"self", "intermediate_steps", "callbacks"})
                                    .with_qualname("Probe.plan")
                                    .with_extra_keywords("kwargs");

py::object make_class_body(const frame::Arguments& call) {
    std::string name = py::str(call[0]);
    return frame::new_class(call.globals(), name.c_str(), nullptr, py::reinterpret_borrow<py::tuple>(call[1]),
                            py::dict(), {&plan});
}

const frame::FunctionDef lookup = frame::function<lookup_body>("lookup", {"name"});

py::object make_function_body(const frame::Arguments& call) {
    return frame::new_function(lookup, call[0]);
}

py::object guard_body(const frame::Arguments& call) {
    std::string prefix = py::str(call[0]);
    return py::bool_(frame::guarded(call, prefix.c_str(), [&] { call[1](); }));
}

// Calls back into the interpreter, then hands back its second argument.
py::object call_then_return_body(const frame::Arguments& call) {
    call[0]();
    return py::reinterpret_borrow<py::object>(call[1]);
}

py::object with_body(const frame::Arguments& call) {
    py::object result = py::none();
    frame::with(call[0], [&](py::handle value) { result = call[1](value); });
    return result;
}

const frame::FunctionDef one = frame::function<bound_values<1>>("one", {"a"});
const frame::FunctionDef three = frame::function<bound_values<3>>("three", {"a", "b", "c"});
const frame::FunctionDef four = frame::function<bound_values<4>>("four", {"a", "b", "c", "d"});
const frame::FunctionDef none = frame::function<bound_values<0>>("none", {});
const frame::FunctionDef catch_all =
    frame::function<catch_all_body>("catch_all", {"self", "x", "y"}).with_extra_keywords("kwargs");
const frame::FunctionDef documented =
    frame::function<bound_values<1>>("documented", {"a"}).with_doc("Says what it does.");
const frame::FunctionDef fail = frame::function<fail_body>("fail", {"exception"});
const frame::FunctionDef star_import = frame::function<star_import_body>("star_import", {"target", "source"});
const frame::FunctionDef import_names =
    frame::function<import_names_body>("import_names", {"target", "source", "names"});
const frame::FunctionDef make_class = frame::function<make_class_body>("make_class", {"name", "bases"});
const frame::FunctionDef make_function = frame::function<make_function_body>("make_function", {"globals"});
const frame::FunctionDef guard = frame::function<guard_body>("guard", {"prefix", "stage"});
const frame::FunctionDef with = frame::function<with_body>("with_", {"manager", "block"});
const frame::FunctionDef call_then_return =
    frame::function<call_then_return_body>("call_then_return", {"callback", "value"});

void body(frame::Module& module) {
    module.import_names("velto_probe_gate", {"record"});
    module.global("record")();
    module.define(one);
    module.define(three);
    module.define(four, py::make_tuple(py::none()));
    module.define(none);
    module.define(catch_all);
    module.define(documented);
    module.define(fail);
    module.define(star_import);
    module.define(import_names);
    module.define(make_class);
    module.define(make_function);
    module.define(guard);
    module.define(with);
    module.define(call_then_return, py::make_tuple(py::none()));
}

frame::ModuleDefinition definition("velto_frame_probe", "velto_frame_probe", frame::run_body<body>, __FILE__,
                                   __LINE__);

}  // namespace

VELTO_MODULE_INIT PyInit_velto_frame_probe(void) { return definition.initialize(); }
