// Transitional: the per-module name tables, until each area names what it
// uses with py::id<"..."> (names.hpp).
#pragma once

#include "error.hpp"

#define ZORVIK_NAME_MEMBER(member, text) PyObject* member = nullptr;
#define ZORVIK_NAME_INTERN(member, text) \
    table.member = ::zorvik::py::steal_or_throw(PyUnicode_InternFromString(text)).release();
#define ZORVIK_DECLARE_NAMES(LIST) \
    struct Names {                 \
        LIST(ZORVIK_NAME_MEMBER)   \
    };                             \
    const Names& names() noexcept; \
    void intern_names();
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
