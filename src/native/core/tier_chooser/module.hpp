// Process-wide state of the tier chooser, filled once by the module body.
#pragma once

#include "names.hpp"
#include "py/call.hpp"
#include "py/types.hpp"

namespace zorvik::core {

using py::Args;
using py::Borrowed;
using py::Ref;

inline constexpr const char* module_name = "zorvik.core.tier_chooser";

struct Module {
    Ref globals;  // the module namespace: names a host may rebind are read here at each use
    Ref complexity_type;
    Ref simple, moderate, complex_;  // the Complexity members
    Ref re_compile, re_search;       // the interpreter's own `re`
    Ref config_type;
};

// Valid once the module body has run.
Module& mod() noexcept;

// A module-level name (AVAILABLE_MODELS, logger, classify_complexity, ...)
// as bound right now; NameError if the host deleted it.
Ref module_global(PyObject* name);

// Built in the order of the module body.
Ref make_complexity_type();
Ref make_model_spec_type();
Ref make_catalogue(Borrowed spec_type);
Ref make_complex_patterns();
Ref make_simple_patterns();
Ref make_classify_function();
Ref make_config_type();
Ref make_router_type();

}  // namespace zorvik::core
