// Reading str objects in place: trimming and searching without the method
// calls and temporary objects the interpreter's str methods would need.
#pragma once

#include "module.hpp"

#include <string_view>

namespace zorvik::skills {

// A range of characters of a str: [start, end).
struct Span {
    Py_ssize_t start;
    Py_ssize_t end;
};

// The part of `within` left when white space is removed at either end, as
// str.strip() would remove it from text[within.start:within.end].
Span strip_span(Borrowed text, Span within);

// str.strip(): the text without white space at either end (the same object
// when there is none to remove).
Ref stripped(Borrowed text);

// Where the ASCII text `part` first occurs in `text` at or after `from`, or -1.
Py_ssize_t find_ascii(Borrowed text, std::string_view part, Py_ssize_t from = 0);

}  // namespace zorvik::skills
