#include "text.hpp"

#include <algorithm>

namespace zorvik::skills {

Ref stripped(Borrowed text) {
    PyObject* s = text.get();
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    Py_ssize_t start = 0, end = PyUnicode_GET_LENGTH(s);
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    return py::steal_or_throw(PyUnicode_Substring(s, start, end));
}

Py_ssize_t find_ascii(Borrowed text, std::string_view part, Py_ssize_t from) {
    PyObject* s = text.get();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    if (from > length) return -1;
    auto search = [&](const auto* chars) -> Py_ssize_t {
        auto same = [](auto c, char p) { return c == static_cast<unsigned char>(p); };
        const auto* end = chars + length;
        const auto* at = std::search(chars + from, end, part.begin(), part.end(), same);
        return at == end ? -1 : at - chars;
    };
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: return search(PyUnicode_1BYTE_DATA(s));
        case PyUnicode_2BYTE_KIND: return search(PyUnicode_2BYTE_DATA(s));
        default: return search(PyUnicode_4BYTE_DATA(s));
    }
}

}  // namespace zorvik::skills
