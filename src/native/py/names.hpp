// Names the layer itself looks up, interned once and compared by pointer.
// Each module keeps its own list in its own names.hpp, built the same way.
#pragma once

#include "ref.hpp"

namespace zorvik::py {

// Declares a struct with one interned-string member per entry of LIST, and
// the function that fills it.
#define ZORVIK_NAME_MEMBER(member, text) PyObject* member = nullptr;
#define ZORVIK_NAME_INTERN(member, text) \
    table.member = ::zorvik::py::steal_or_throw(PyUnicode_InternFromString(text)).release();

#define ZORVIK_NAMES(X)                         \
    X(close, "close")                           \
    X(default_, "default")                      \
    X(default_factory, "default_factory")       \
    X(dunder_doc, "__doc__")                    \
    X(module, "module")                         \
    X(namespace_, "namespace")                  \
    X(qualname, "qualname")                     \
    X(throw_, "throw")                          \
    X(type, "type")                             \
    X(value, "value")

struct Names {
    ZORVIK_NAMES(ZORVIK_NAME_MEMBER)
};

// The interned names; valid once intern_names() has run. They live for the
// whole process.
const Names& names() noexcept;
void intern_names();

}  // namespace zorvik::py
