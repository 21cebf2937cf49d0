#include "names.hpp"

#include "error.hpp"

namespace zorvik::py {

namespace {
// The table's first entry; constant-initialised, so it is valid before any
// Name constructor runs.
Name* first_name = nullptr;
}  // namespace

Name::Name(const char* text) noexcept : text_(text), next_(first_name) { first_name = this; }

void intern_names() {
    for (Name* n = first_name; n; n = n->next_) {
        if (n->object_) continue;
        n->object_ = steal_or_throw(PyUnicode_InternFromString(n->text_)).release();
    }
}

}  // namespace zorvik::py
