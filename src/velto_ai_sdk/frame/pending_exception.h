// Holds the exception being raised aside for a stretch of clean-up work, and
// puts it back afterwards, whatever the clean-up did to the error indicator.
#pragma once

#include <Python.h>

namespace velto::frame {

class PendingException {
public:
    PendingException() {
#if PY_VERSION_HEX >= 0x030C0000
        exception_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &value_, &traceback_);
#endif
    }
    ~PendingException() {
        PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exception_);
#else
        PyErr_Restore(type_, value_, traceback_);
#endif
    }
    PendingException(const PendingException&) = delete;
    PendingException& operator=(const PendingException&) = delete;

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exception_;
#else
    PyObject* type_;
    PyObject* value_;
    PyObject* traceback_;
#endif
};

}  // namespace velto::frame
