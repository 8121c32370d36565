// Ownership of one interpreter reference.
//
// The frame speaks the plain C API; every new reference it receives goes into
// a Ref at once, so that no path, error paths included, can forget to
// release it.
#pragma once

#include <Python.h>

namespace velto::frame {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (or nullptr, which signals an error).
    explicit Ref(PyObject* owned) : object_(owned) {}
    static Ref borrow(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = object_;
            object_ = other.release();
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference over to the caller.
    PyObject* release() {
        PyObject* owned = object_;
        object_ = nullptr;
        return owned;
    }

private:
    PyObject* object_ = nullptr;
};

}  // namespace velto::frame
