// Process-wide state of the tier chooser, filled once by the module body.
#pragma once

#include "attributes.hpp"
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
    Ref simple, moderate, complex_;                   // the Complexity members
    Ref simple_value, moderate_value, complex_value;  // and their values
    Ref re_compile, re_search;                        // the interpreter's own `re`
    Ref config_type;
};

// Valid once the module body has run.
Module& mod() noexcept;

// A module-level name (AVAILABLE_MODELS, logger, classify_complexity, ...)
// as bound right now; NameError if the host deleted it.
Ref module_global(PyObject* name);

// The fields of ModelSpec and ModelRoutingConfig, in constructor order.
enum SpecField : std::size_t {
    spec_id,
    spec_provider,
    spec_display_name,
    spec_complexity_tier,
    spec_description,
    spec_max_tokens,
    spec_supports_tools,
    spec_supports_vision,
    spec_cost_per_1k_input,
    spec_cost_per_1k_output,
};
const Record& spec_fields();
enum ConfigField : std::size_t {
    config_enabled_models,
    config_cost_conscious,
    config_default_worker_model,
    config_default_scheduler_model,
};
const Record& config_fields();

// `tier.value`; for the three members, the value read when they were made.
Ref tier_value(Borrowed tier);

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
