#include "velto_ai_sdk/frame/traceback.h"

#include <frameobject.h>

#include <cstring>
#include <string>

#include "velto_ai_sdk/frame/pending_exception.h"
#include "velto_ai_sdk/frame/ref.h"

namespace velto::frame {

namespace {

std::string entry_file_name(const char* source_file, PyObject* globals) {
    PyObject* module_file = PyDict_GetItemString(globals, "__file__");  // borrowed
    if (module_file == nullptr || !PyUnicode_Check(module_file)) {
        return source_file;
    }
    const char* path = PyUnicode_AsUTF8(module_file);
    if (path == nullptr) {
        PyErr_Clear();
        return source_file;
    }
    const char* last_separator = std::strrchr(path, '/');
    if (last_separator == nullptr) {
        return source_file;
    }
    return std::string(path, last_separator + 1) + source_file;
}

// A frame that looks, to the traceback machinery, like one executing
// `function_name` at `file`:`line`. An empty code object reports its first
// line as the current line on every version this builds for.
Ref new_entry_frame(const char* function_name, const std::string& file, int line, PyObject* globals) {
    Ref code(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file.c_str(), function_name, line)));
    if (!code) {
        return Ref();
    }
    return Ref(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
}

}  // namespace

const char* path_in_package(const char* source_path) {
    static const char marker[] = "velto_ai_sdk/";
    const char* found = nullptr;
    for (const char* at = std::strstr(source_path, marker); at != nullptr; at = std::strstr(at + 1, marker)) {
        found = at;
    }
    return found != nullptr ? found + sizeof(marker) - 1 : source_path;
}

namespace {

// `function_name` is either text or, when `function_name_object` is given, a
// str turned into text only once the pending exception is safe aside.
void add_entry(const char* function_name, PyObject* function_name_object, const char* source_file, int line,
               PyObject* globals) {
    if (globals == nullptr || !PyDict_Check(globals)) {
        return;  // a frame needs a namespace; the exception goes on without the entry
    }
    Ref frame;
    {
        PendingException pending;
        if (function_name_object != nullptr) {
            function_name = PyUnicode_AsUTF8(function_name_object);
        }
        if (function_name != nullptr) {
            frame = new_entry_frame(function_name, entry_file_name(source_file, globals), line, globals);
        }
    }
    if (frame) {
        // Fails only when memory runs out, and then leaves that error chained
        // to the one under way: either way an exception stays set.
        (void)PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

}  // namespace

void add_traceback_entry(const char* function_name, const char* source_file, int line, PyObject* globals) {
    add_entry(function_name, nullptr, source_file, line, globals);
}

void add_traceback_entry(PyObject* function_name, const char* source_file, int line, PyObject* globals) {
    add_entry(nullptr, function_name, source_file, line, globals);
}

}  // namespace velto::frame
