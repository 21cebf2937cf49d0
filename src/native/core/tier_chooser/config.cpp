// ModelRoutingConfig: the user's routing preferences, a data class made by
// the interpreter's own `dataclasses`, with native to_dict and from_dict.
#include "messages.hpp"
#include "module.hpp"

namespace zorvik::core {

namespace {

using py::FieldDef;
using py::FieldDefault;
using py::Type;

// The catalogue's keys, in catalogue order: every model enabled.
Ref default_enabled_models(const Args&) {
    Ref list = py::steal_or_throw(PyList_New(0));
    for (const CatalogueEntry& e : catalogue_entries()) py::check(PyList_Append(list.get(), e.key));
    return list;
}
constexpr py::FunctionDef default_enabled_def{
    .name = "_default_enabled_models", .body = default_enabled_models, .doc = "The catalogue keys, all enabled.",
    .returns = "list"};

Ref to_dict_body(const Args& a) {
    Ref out = py::steal_or_throw(PyDict_New());
    for (PyObject* field : {id<"enabled_models">.get(), id<"cost_conscious">.get(), id<"default_worker_model">.get(),
                            id<"default_scheduler_model">.get()})
        py::check(PyDict_SetItem(out.get(), field, py::getattr(a[0], field).get()));
    return out;
}
constexpr py::FunctionDef to_dict_def{
    .name = "to_dict", .body = to_dict_body, .params = {py::self_param}, .doc = "Convert to a plain dict.",
    .returns = "dict[str, Any]"};

// cls(**{key: value for key, value in data.items() if key in cls.__dataclass_fields__})
Ref from_dict_body(const Args& a) {
    Borrowed cls = a[0];
    Ref known = py::getattr(cls, id<"__dataclass_fields__">);
    Ref kwargs = py::steal_or_throw(PyDict_New());
    for_each_item(a[1], [&](Borrowed key, Borrowed value) {
        if (contains(known, key)) py::check(PyDict_SetItem(kwargs.get(), key.get(), value.get()));
        return false;
    });
    return py::steal_or_throw(PyObject_VectorcallDict(cls.get(), nullptr, 0, kwargs.get()));
}
constexpr py::FunctionDef from_dict_def{
    .name = "from_dict", .body = from_dict_body, .params = {{"cls"}, {"data", Type::dict, {}, false, "dict[str, Any]"}},
    .doc = "Build a config from a plain dict; unknown keys are ignored.", .returns = "ModelRoutingConfig"};

constexpr const py::FunctionDef* methods[] = {&to_dict_def};
constexpr const py::FunctionDef* classmethods[] = {&from_dict_def};

constexpr FieldDef field_defs[] = {
    {"enabled_models", "list[str]", {FieldDefault::factory, nullptr, 0.0, 0, &default_enabled_def}},
    {"cost_conscious", "bool", {FieldDefault::false_}},
    {"default_worker_model", "str", {FieldDefault::text, "auto"}},
    {"default_scheduler_model", "str", {FieldDefault::text, "auto"}},
};

constexpr py::DataclassDef config_class{
    .name = "ModelRoutingConfig",
    .doc = "User-configurable model routing preferences.\n"
           "    \n"
           "    The Coordinator's own model is set separately in the application's main\n"
           "    settings. This only carries the worker and scheduler defaults.\n"
           "    ",
    .fields = field_defs,
    .methods = methods,
    .classmethods = classmethods};

}  // namespace

Ref make_config_type() { return py::make_dataclass(module_name, config_class); }

}  // namespace zorvik::core
