#include "names.hpp"

#include "error.hpp"

namespace zorvik::py {

namespace {
Names table;
bool interned = false;
}  // namespace

const Names& names() noexcept { return table; }

// The names live for the whole process: they are never released.
void intern_names() {
    if (interned) return;
#define ZORVIK_NAME_INTERN(member, text) table.member = steal_or_throw(PyUnicode_InternFromString(text)).release();
    ZORVIK_NAMES(ZORVIK_NAME_INTERN)
#undef ZORVIK_NAME_INTERN
    interned = true;
}

}  // namespace zorvik::py
