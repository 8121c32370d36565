// The text of one output stream of the script, read piece by piece and
// kept within a bound whatever the script prints: the beginning, and the
// end in a ring, at most `limit` characters of each.
//
// Bytes are decoded as the interpreter's text pipes decode them (the given
// encoding, universal newlines: \r\n and \r become \n) except that bytes
// that do not decode become U+FFFD instead of an error.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>

namespace velto::codetool {

namespace py = pybind11;

class BoundedText {
public:
    BoundedText(long long limit, py::handle encoding);

    void feed(const char* bytes, size_t size);

    // The whole text when it is at most `limit` characters long; otherwise
    // its beginning and its end with a line between them that says how much
    // was left out, `limit` characters in all.
    py::str finish();

private:
    void keep(py::str piece);
    py::str shortened(py::str kept) const;

    long long limit_;
    py::object decoder_;
    long long total_ = 0;
    long long head_size_ = 0;
    long long tail_size_ = 0;
    py::list head_;
    py::list tail_;  // what came after the head, with the oldest pieces dropped beyond `limit`
};

}  // namespace velto::codetool
