// The tier chooser module: its state, and the body that wires the areas
// together in the order of the module's source.
#include "module.hpp"
#include "messages.hpp"
#include "py/module.hpp"

namespace zorvik::core {

namespace {

constexpr const char* module_doc =
    "Model routing for workers and scheduled jobs.\n\n"
    "The Coordinator always runs on the model the user chose in the main settings;\n"
    "this module only chooses the models of the workers it starts and of scheduled jobs.\n";

py::Static<State> module_state;

void bind_import(Borrowed m, const char* name) { py::add(m, name, py::import(name)); }

void bind_from(Borrowed m, const char* module, std::initializer_list<const char*> attrs) {
    Ref source = py::import(module);
    for (const char* attr : attrs) py::add(m, attr, py::getattr(source, attr));
}

void body(Borrowed m) {
    module_state.emplace().globals = py::borrow(PyModule_GetDict(m.get()));
    py::add(m, "__doc__", py::text(module_doc));

    bind_import(m, "logging");
    bind_import(m, "re");
    bind_from(m, "dataclasses", {"dataclass", "field"});
    bind_from(m, "enum", {"Enum"});
    bind_from(m, "typing", {"Any"});
    bind_from(m, "zorvik.config", {"SecretsStore"});
    Ref get_logger = py::getattr(py::getattr(m, "logging"), "getLogger");
    py::add(m, "logger", py::call(get_logger, py::text(msg::logger_name)));

    Ref complexity = make_complexity_type();
    py::add(m, "Complexity", complexity);
    Ref spec_type = make_model_spec_type();
    py::add(m, "ModelSpec", spec_type);
    py::add(m, "AVAILABLE_MODELS", make_catalogue(complexity, spec_type));
    py::add(m, "_COMPLEX_PATTERNS", make_complex_patterns());
    py::add(m, "_SIMPLE_PATTERNS", make_simple_patterns());
    py::add(m, "classify_complexity", make_classify_function());
    py::add(m, "ModelRoutingConfig", make_config_type());
    py::add(m, "TierChooser", make_router_type());
}

}  // namespace

const State& state() noexcept { return *module_state; }

void unpack_pair(Borrowed item, Ref& first, Ref& second) {
    Ref tuple = PyTuple_CheckExact(item.get()) ? py::borrow(item) : py::steal_or_throw(PySequence_Tuple(item.get()));
    const Py_ssize_t n = PyTuple_GET_SIZE(tuple.get());
    if (n != 2) py::raise_format(PyExc_ValueError, n > 2 ? msg::too_many_values : msg::not_enough_values, n);
    first = py::borrow(PyTuple_GET_ITEM(tuple.get(), 0));
    second = py::borrow(PyTuple_GET_ITEM(tuple.get(), 1));
}

}  // namespace zorvik::core

ZORVIK_MODULE(tier_chooser, zorvik::core::body)
