#include "names.hpp"

#include "error.hpp"

namespace zorvik::py {

namespace {
Names table;
bool interned = false;
}  // namespace

const Names& names() noexcept { return table; }

void intern_names() {
    if (interned) return;
    ZORVIK_NAMES(ZORVIK_NAME_INTERN)
    interned = true;
}

}  // namespace zorvik::py
