// Every Python-visible name the native code looks up or sets, interned once
// when a module is executed and compared by pointer afterwards.
#pragma once

#include "ref.hpp"

namespace zorvik::py {

// X(member, "text"): keep sorted by member within each group.
#define ZORVIK_NAMES(X)                                   \
    /* protocol and layer */                              \
    X(add_note, "add_note")                               \
    X(close, "close")                                     \
    X(dunder_dict, "__dict__")                            \
    X(dunder_doc, "__doc__")                              \
    X(dunder_module, "__module__")                        \
    X(dunder_name, "__name__")                            \
    X(dunder_qualname, "__qualname__")                    \
    X(dataclass_fields, "__dataclass_fields__")           \
    X(default_factory, "default_factory")                 \
    X(default_, "default")                                \
    X(module, "module")                                   \
    X(namespace_, "namespace")                            \
    X(qualname, "qualname")                               \
    X(send, "send")                                       \
    X(throw_, "throw")                                    \
    X(type, "type")                                       \
    X(value, "value")

struct Names {
#define ZORVIK_NAME_MEMBER(member, text) PyObject* member = nullptr;
    ZORVIK_NAMES(ZORVIK_NAME_MEMBER)
#undef ZORVIK_NAME_MEMBER
};

// The interned names; valid once intern_names() has run.
const Names& names() noexcept;
void intern_names();

}  // namespace zorvik::py
