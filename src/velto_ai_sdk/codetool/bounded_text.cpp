#include "velto_ai_sdk/codetool/bounded_text.h"

#include <algorithm>
#include <string>

namespace velto::codetool {

namespace {

py::str omission_note(long long omitted) {
    return py::str("\n[... " + std::to_string(omitted) + " characters left out ...]\n");
}

long long length(py::handle text) { return (long long)PyUnicode_GET_LENGTH(text.ptr()); }

py::str slice(py::handle text, long long start, long long stop) {
    PyObject* part = PyUnicode_Substring(text.ptr(), Py_ssize_t(start), Py_ssize_t(stop));
    if (part == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(part);
}

}  // namespace

BoundedText::BoundedText(long long limit, py::handle encoding) : limit_(limit) {
    py::object decoder = py::module_::import("codecs").attr("getincrementaldecoder")(encoding)("replace");
    decoder_ = py::module_::import("io").attr("IncrementalNewlineDecoder")(decoder, true);
}

void BoundedText::feed(const char* bytes, size_t size) {
    keep(decoder_.attr("decode")(py::bytes(bytes, size), false));
}

void BoundedText::keep(py::str piece) {
    long long size = length(piece);
    total_ += size;
    if (head_size_ < limit_) {
        long long taken = std::min(size, limit_ - head_size_);
        head_.append(taken == size ? piece : slice(piece, 0, taken));
        head_size_ += taken;
        if (taken == size) {
            return;
        }
        piece = slice(piece, taken, size);
        size -= taken;
    }
    tail_.append(piece);
    tail_size_ += size;
    while (tail_size_ - length(tail_[0]) >= limit_) {
        tail_size_ -= length(tail_[0]);
        if (PySequence_DelItem(tail_.ptr(), 0) != 0) {
            throw py::error_already_set();
        }
    }
}

py::str BoundedText::finish() {
    keep(decoder_.attr("decode")(py::bytes(), true));
    py::str kept = py::str("").attr("join")(head_) + py::str("").attr("join")(tail_);
    return total_ <= limit_ ? kept : shortened(kept);
}

// The note is a line of its own, set off by line ends on both sides even
// where the beginning ends a line, so that the parts around it are exactly
// the text's. Its length is taken for the largest count it could show, so
// that the shortened text never passes the limit.
py::str BoundedText::shortened(py::str kept) const {
    long long room = limit_ - length(omission_note(total_));
    long long head = room / 2, tail = room - head;
    py::str note = omission_note(total_ - head - tail);
    return slice(kept, 0, head) + note + slice(kept, length(kept) - tail, length(kept));
}

}  // namespace velto::codetool
