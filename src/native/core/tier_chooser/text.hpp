// Assembling log lines and model strings from str pieces without the
// format-string machinery: the pieces are copied once into a string of the
// right size and kind.
#pragma once

#include "module.hpp"

#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

namespace zorvik::core {

// A part of a str: [start, start + length) of `text`.
struct Piece {
    PyObject* text;
    Py_ssize_t start = 0;
    Py_ssize_t length = -1;  // to the end
};

// The pieces, one after the other, as a new str.
Ref concat(std::span<const Piece> pieces);
inline Ref concat(std::initializer_list<Piece> pieces) { return concat(std::span<const Piece>(pieces)); }

// A message template with "%U" markers, split once into its fixed pieces.
class Template {
public:
    explicit Template(std::string_view format);

    // The template with each marker replaced by the matching argument, which
    // must be a str (or a part of one).
    Ref render(std::initializer_list<Piece> arguments) const;

private:
    std::vector<Ref> fixed_;  // one more than the markers
};

// format(value, ""): the text an f-string shows for `value`.
Ref format_text(Borrowed value);

}  // namespace zorvik::core
