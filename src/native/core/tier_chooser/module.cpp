// The tier chooser module: wires the areas together in the order of the
// module body.
#include "module.hpp"
#include "messages.hpp"
#include "py/module.hpp"
#include "watch.hpp"

#include <array>

namespace zorvik::core {

namespace {

py::Static<Module> state;

// Module-level names as last read, borrowed from the namespace (which is
// watched): valid while no watched dict has changed since.
struct Global {
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    std::uint64_t generation = 0;
};
std::array<Global, 8> globals_read;
std::size_t next_slot = 0;

void bind_import(Borrowed m, const char* name) { py::add(m, name, py::import(name)); }

void bind_from(Borrowed m, const char* module, std::initializer_list<const char*> attrs) {
    Ref source = py::import(module);
    for (const char* attr : attrs) py::add(m, attr, py::getattr(source, attr));
}

void body(Borrowed m) {
    intern_names();
    Module& g = state.emplace();
    g.globals = py::borrow(PyModule_GetDict(m.get()));
    watch::init();
    if (watch::enabled()) watch::add(g.globals);
    py::add(m, "__doc__", py::text(msg::module_doc));

    bind_import(m, "logging");
    bind_import(m, "re");
    bind_from(m, "dataclasses", {"dataclass", "field"});
    bind_from(m, "enum", {"Enum"});
    bind_from(m, "typing", {"Any"});
    bind_from(m, "zorvik.config", {"SecretsStore"});
    Ref re = py::getattr(m, "re");
    g.re_compile = py::getattr(re, names().compile);
    g.re_search = py::getattr(re, names().search);

    Ref logging = py::getattr(m, "logging");
    py::add(m, "logger", py::call(py::getattr(logging, "getLogger"), py::text(msg::logger_name)));

    g.complexity_type = make_complexity_type();
    py::add(m, "Complexity", g.complexity_type);
    Ref spec_type = make_model_spec_type();
    py::add(m, "ModelSpec", spec_type);
    py::add(m, "AVAILABLE_MODELS", make_catalogue(spec_type));
    py::add(m, "_COMPLEX_PATTERNS", make_complex_patterns());
    py::add(m, "_SIMPLE_PATTERNS", make_simple_patterns());
    py::add(m, "classify_complexity", make_classify_function());
    g.config_type = make_config_type();
    py::add(m, "ModelRoutingConfig", g.config_type);
    py::add(m, "TierChooser", make_router_type());
}

}  // namespace

ZORVIK_DEFINE_NAMES(TIER_CHOOSER_NAMES)

Module& mod() noexcept { return *state; }

Ref module_global(PyObject* name) {
    const std::uint64_t now = watch::generation();
    if (watch::enabled())
        for (const Global& g : globals_read)
            if (g.name == name && g.generation == now) return py::borrow(g.value);
    Ref result = py::lookup_global(state->globals, name);
    if (watch::enabled()) {
        Global* slot = nullptr;
        for (Global& g : globals_read)
            if (g.name == name) slot = &g;
        if (!slot) slot = &globals_read[next_slot++ % globals_read.size()];
        *slot = {name, result.get(), now};
    }
    return result;
}

}  // namespace zorvik::core

ZORVIK_MODULE(tier_chooser, zorvik::core::body)
