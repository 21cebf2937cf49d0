// Names the layer itself looks up, interned once and compared by pointer.
// Each module keeps its own list in its own names.hpp, built the same way.
#pragma once

#include "ref.hpp"

namespace zorvik::py {

#define ZORVIK_NAME_MEMBER(member, text) PyObject* member = nullptr;
#define ZORVIK_NAME_INTERN(member, text) \
    table.member = ::zorvik::py::steal_or_throw(PyUnicode_InternFromString(text)).release();

// Declares, in the current namespace, `struct Names` with one interned str
// per entry of LIST (X(member, "text") entries), `names()` to read them and
// `intern_names()` to fill them, once, when the module body runs.
#define ZORVIK_DECLARE_NAMES(LIST) \
    struct Names {                 \
        LIST(ZORVIK_NAME_MEMBER)   \
    };                             \
    const Names& names() noexcept; \
    void intern_names();

// Defines what ZORVIK_DECLARE_NAMES declared; in one source file. The names
// live for the whole process: they are never released.
#define ZORVIK_DEFINE_NAMES(LIST)                        \
    namespace {                                          \
    Names name_table;                                    \
    bool names_interned = false;                         \
    }                                                    \
    const Names& names() noexcept { return name_table; } \
    void intern_names() {                                \
        if (names_interned) return;                      \
        Names& table = name_table;                       \
        LIST(ZORVIK_NAME_INTERN)                         \
        names_interned = true;                           \
    }

#define ZORVIK_NAMES(X)                   \
    X(close, "close")                     \
    X(default_, "default")                \
    X(default_factory, "default_factory") \
    X(dunder_doc, "__doc__")              \
    X(module, "module")                   \
    X(namespace_, "namespace")            \
    X(qualname, "qualname")               \
    X(throw_, "throw")                    \
    X(type, "type")                       \
    X(value, "value")

ZORVIK_DECLARE_NAMES(ZORVIK_NAMES)

}  // namespace zorvik::py
