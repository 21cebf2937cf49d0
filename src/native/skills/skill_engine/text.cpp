#include "text.hpp"

#include <algorithm>

namespace zorvik::skills {

Span strip_span(Borrowed text, Span within) {
    PyObject* s = text.get();
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    auto [start, end] = within;
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    return {start, end};
}

Ref stripped(Borrowed text) {
    const Span kept = strip_span(text, {0, PyUnicode_GET_LENGTH(text.get())});
    return py::steal_or_throw(PyUnicode_Substring(text.get(), kept.start, kept.end));
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
        case PyUnicode_1BYTE_KIND: {
            // The library's byte search, which skips ahead to the first character.
            const std::string_view bytes(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(s)),
                                         static_cast<std::size_t>(length));
            const std::size_t at = bytes.find(part, static_cast<std::size_t>(from));
            return at == std::string_view::npos ? -1 : static_cast<Py_ssize_t>(at);
        }
        case PyUnicode_2BYTE_KIND:
            return search(PyUnicode_2BYTE_DATA(s));
        default:
            return search(PyUnicode_4BYTE_DATA(s));
    }
}

}  // namespace zorvik::skills
