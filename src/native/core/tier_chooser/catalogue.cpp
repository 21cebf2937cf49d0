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

constexpr py::DataclassDef spec_class{
    .name = "ModelSpec", .doc = "Specification for a single model.", .fields = spec_fields};

constexpr long max_tokens = 4096;

constexpr CatalogueEntry entries[] = {
    {id<"claude-opus">, "claude-opus-4-6", id<"anthropic">, "Claude Opus", id<"COMPLEX">,
     "Most intelligent. Best for complex reasoning, architecture, deep analysis, long-form writing.", 0.015, 0.075},
    {id<"claude-sonnet">, "claude-sonnet-4-6", id<"anthropic">, "Claude Sonnet", id<"MODERATE">,
     "Balanced intelligence and speed. Good for most tasks.", 0.003, 0.015},
    {id<"claude-haiku">, "claude-haiku-4-5", id<"anthropic">, "Claude Haiku", id<"SIMPLE">,
     "Fastest and cheapest. Great for summaries, lookups, classification, simple tasks.", 0.00025, 0.00125},
    {id<"gpt-5.2">, "gpt-5.2", id<"openai">, "GPT-5.2", id<"COMPLEX">,
     "OpenAI's most capable model. Alternative for complex tasks.", 0.005, 0.015},
};

Ref number(double value) { return py::steal_or_throw(PyFloat_FromDouble(value)); }

}  // namespace

std::span<const CatalogueEntry> catalogue_entries() noexcept { return entries; }

Ref make_complexity_type() { return py::make_str_enum(module_name, "Complexity", tiers); }

Ref make_model_spec_type() { return py::make_dataclass(module_name, spec_class); }

Ref make_catalogue(Borrowed complexity_type, Borrowed spec_type) {
    Ref catalogue = py::steal_or_throw(PyDict_New());
    Ref tokens = py::steal_or_throw(PyLong_FromLong(max_tokens));
    for (const CatalogueEntry& e : entries) {
        Ref spec = py::call_kw(spec_type, {},
                               {{id<"id">, py::text(e.id)},
                                {id<"provider">, e.provider},
                                {id<"display_name">, py::text(e.display_name)},
                                {id<"complexity_tier">, py::getattr(complexity_type, e.tier)},
                                {id<"description">, py::text(e.description)},
                                {id<"max_tokens">, tokens},
                                {id<"cost_per_1k_input">, number(e.cost_per_1k_input)},
                                {id<"cost_per_1k_output">, number(e.cost_per_1k_output)}});
        py::check(PyDict_SetItem(catalogue.get(), e.key, spec.get()));
    }
    return catalogue;
}

}  // namespace zorvik::core
