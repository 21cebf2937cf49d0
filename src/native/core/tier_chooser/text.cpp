#include "text.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

namespace zorvik::core {

namespace {

constexpr std::size_t max_pieces = 16;
constexpr std::string_view marker = "%U";

// The largest character of a part: a whole str's kind tells it; a slice
// of a wider str may hold only narrower characters, so it is read.
Py_UCS4 widest(const Piece& p, Py_ssize_t length) {
    const Py_UCS4 bound = PyUnicode_MAX_CHAR_VALUE(p.text);
    if (bound <= 127 || (p.start == 0 && length == PyUnicode_GET_LENGTH(p.text))) return bound;
    const int kind = PyUnicode_KIND(p.text);
    const void* data = PyUnicode_DATA(p.text);
    Py_UCS4 widest = 0;
    for (Py_ssize_t i = p.start; i < p.start + length; ++i) widest = std::max(widest, PyUnicode_READ(kind, data, i));
    return widest;
}

}  // namespace

Ref concat(std::span<const Piece> pieces) {
    if (pieces.size() > max_pieces) throw std::length_error("too many pieces");
    std::array<Py_ssize_t, max_pieces> lengths{};
    Py_ssize_t total = 0;
    Py_UCS4 max_char = 0;
    std::size_t k = 0;
    for (const Piece& p : pieces) {
        const Py_ssize_t available = PyUnicode_GET_LENGTH(p.text) - p.start;
        const Py_ssize_t length = p.length < 0 ? available : std::min(p.length, available);
        lengths[k++] = length;
        total += length;
        max_char = std::max(max_char, widest(p, length));
    }
    Ref out = py::steal_or_throw(PyUnicode_New(total, max_char));
    Py_ssize_t at = 0;
    k = 0;
    for (const Piece& p : pieces) {
        const Py_ssize_t length = lengths[k++];
        if (max_char <= 127) {
            std::memcpy(PyUnicode_1BYTE_DATA(out.get()) + at, PyUnicode_1BYTE_DATA(p.text) + p.start,
                        static_cast<std::size_t>(length));
        } else if (PyUnicode_CopyCharacters(out.get(), at, p.text, p.start, length) < 0) {
            py::throw_pending();
        }
        at += length;
    }
    return out;
}

Template::Template(std::string_view format) {
    for (;;) {
        const std::size_t next = format.find(marker);
        fixed_.push_back(py::text(format.substr(0, next)));
        if (next == std::string_view::npos) break;
        format.remove_prefix(next + marker.size());
    }
}

Ref Template::render(std::initializer_list<Piece> arguments) const {
    if (arguments.size() + 1 != fixed_.size() || fixed_.size() + arguments.size() > max_pieces)
        throw std::logic_error("template arguments do not match its markers");
    std::array<Piece, max_pieces> parts{};
    std::size_t k = 0;
    auto argument = arguments.begin();
    for (const Ref& fixed : fixed_) {
        parts[k++] = {fixed.get()};
        if (argument != arguments.end()) parts[k++] = *argument++;
    }
    return concat(std::span<const Piece>(parts.data(), k));
}

Ref format_text(Borrowed value) {
    if (PyUnicode_CheckExact(value.get())) return py::borrow(value);
    return py::steal_or_throw(PyObject_Format(value.get(), nullptr));
}

}  // namespace zorvik::core
