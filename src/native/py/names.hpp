// Interned names, written where they are used: `id<"_page">` is the str
// "_page", interned once for the process and compared by pointer.
//
// Every distinct `id<"...">` in a module's code is one entry of a table the
// linker builds from those uses; the module's exec slot interns the whole
// table (intern_names()) before anything runs, so no name is made lazily and
// no hand-kept list has to follow the code.
#pragma once

#include "ref.hpp"

#include <algorithm>
#include <cstddef>

namespace zorvik::py {

// A name's text as a template argument: id<"close">.
template <std::size_t N>
struct Literal {
    char text[N];
    constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
};

// One entry of the table; links itself in when the library is loaded.
class Name {
public:
    explicit Name(const char* text) noexcept;
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }
    operator Borrowed() const noexcept { return object_; }

private:
    friend void intern_names();
    const char* text_;
    PyObject* object_ = nullptr;  // kept for the life of the process
    Name* next_;
};

template <Literal S>
inline Name id{S.text};

// Interns every name of the table; called once by the module's exec slot.
void intern_names();

}  // namespace zorvik::py
