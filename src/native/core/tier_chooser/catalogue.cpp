// The model catalogue: the Complexity tiers, the ModelSpec record and the
// four models every choice is made from.
#include "messages.hpp"
#include "module.hpp"

namespace zorvik::core {

namespace {

using py::FieldDef;
using py::FieldDefault;

constexpr py::EnumMember tiers[] = {
    {"SIMPLE", "simple"},
    {"MODERATE", "moderate"},
    {"COMPLEX", "complex"},
};

constexpr FieldDef spec_fields[] = {
    {"id", "str"},
    {"provider", "str"},
    {"display_name", "str"},
    {"complexity_tier", "Complexity"},
    {"description", "str", {FieldDefault::text, ""}},
    {"max_tokens", "int", {FieldDefault::integer, nullptr, 0.0, 4096}},
    {"supports_tools", "bool", {FieldDefault::true_}},
    {"supports_vision", "bool", {FieldDefault::true_}},
    {"cost_per_1k_input", "float", {FieldDefault::real, nullptr, 0.0}},
    {"cost_per_1k_output", "float", {FieldDefault::real, nullptr, 0.0}},
};

constexpr py::DataclassDef spec_class{"ModelSpec", msg::model_spec_doc, spec_fields};

struct Entry {
    PyObject* Names::*key;
    const char* id;
    PyObject* Names::*provider;
    const char* display_name;
    Ref Module::*tier;
    const char* description;
    long max_tokens;
    double cost_input;
    double cost_output;
};

const Entry entries[] = {
    {&Names::claude_opus, "claude-opus-4-6", &Names::anthropic, "Claude Opus", &Module::complex_, msg::opus_description,
     4096, 0.015, 0.075},
    {&Names::claude_sonnet, "claude-sonnet-4-6", &Names::anthropic, "Claude Sonnet", &Module::moderate,
     msg::sonnet_description, 4096, 0.003, 0.015},
    {&Names::claude_haiku, "claude-haiku-4-5", &Names::anthropic, "Claude Haiku", &Module::simple,
     msg::haiku_description, 4096, 0.00025, 0.00125},
    {&Names::gpt_5_2, "gpt-5.2", &Names::openai, "GPT-5.2", &Module::complex_, msg::gpt_description, 4096, 0.005,
     0.015},
};

py::Static<Record> spec_record;

}  // namespace

const Record& spec_fields() { return *spec_record; }

Ref make_complexity_type() {
    Ref type = py::make_str_enum(module_name, "Complexity", tiers);
    Module& g = mod();
    g.simple = py::getattr(type, "SIMPLE");
    g.moderate = py::getattr(type, "MODERATE");
    g.complex_ = py::getattr(type, "COMPLEX");
    g.simple_value = py::getattr(g.simple, names().value);
    g.moderate_value = py::getattr(g.moderate, names().value);
    g.complex_value = py::getattr(g.complex_, names().value);
    return type;
}

Ref tier_value(Borrowed tier) {
    const Module& g = mod();
    if (tier.is(g.simple)) return g.simple_value;
    if (tier.is(g.moderate)) return g.moderate_value;
    if (tier.is(g.complex_)) return g.complex_value;
    return py::getattr(tier, names().value);
}

Ref make_model_spec_type() {
    static constexpr Record::Field fields[] = {
        &Names::id,
        &Names::provider,
        &Names::display_name,
        &Names::complexity_tier,
        &Names::description,
        &Names::max_tokens,
        &Names::supports_tools,
        &Names::supports_vision,
        &Names::cost_per_1k_input,
        &Names::cost_per_1k_output,
    };
    spec_record.emplace(fields);
    return py::make_dataclass(module_name, spec_class);
}

Ref make_catalogue(Borrowed spec_type) {
    const Names& n = names();
    Ref catalogue = py::steal_or_throw(PyDict_New());
    for (const Entry& e : entries) {
        Ref max_tokens = py::steal_or_throw(PyLong_FromLong(e.max_tokens));
        Ref cost_input = py::steal_or_throw(PyFloat_FromDouble(e.cost_input));
        Ref cost_output = py::steal_or_throw(PyFloat_FromDouble(e.cost_output));
        Ref spec = py::call_kw(spec_type, {},
                               {{n.id, py::text(e.id)},
                                {n.provider, n.*e.provider},
                                {n.display_name, py::text(e.display_name)},
                                {n.complexity_tier, mod().*e.tier},
                                {n.description, py::text(e.description)},
                                {n.max_tokens, max_tokens},
                                {n.cost_per_1k_input, cost_input},
                                {n.cost_per_1k_output, cost_output}});
        py::check(PyDict_SetItem(catalogue.get(), n.*e.key, spec.get()));
    }
    return catalogue;
}

}  // namespace zorvik::core
