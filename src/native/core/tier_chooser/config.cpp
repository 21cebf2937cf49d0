// ModelRoutingConfig: the user's routing preferences, a data class made by
// the interpreter's own `dataclasses`, with native to_dict and from_dict.
#include "mapping.hpp"

namespace zorvik::core {

namespace {

using py::FieldDef;
using py::FieldDefault;
using py::Param;
using py::Type;

// The fields in constructor and to_dict() order.
constexpr PyObject* Names::*fields[] = {
    &Names::enabled_models,
    &Names::cost_conscious,
    &Names::default_worker_model,
    &Names::default_scheduler_model,
};

struct Cache {
    Ref dict_template;  // the keys of to_dict() in order, each mapped to None
    Ref no_args;        // ()
};
py::Static<Cache> cache;

Ref default_enabled_models(const Args&) {
    const Names& n = names();
    Ref list = py::steal_or_throw(PyList_New(0));
    for (PyObject* key : {n.claude_opus, n.claude_sonnet, n.claude_haiku, n.gpt_5_2})
        py::check(PyList_Append(list.get(), key));
    return list;
}

Ref to_dict_body(const Args& a) {
    const Names& n = names();
    Ref out = py::steal_or_throw(PyDict_Copy(cache->dict_template.get()));
    for (auto field : fields) py::check(PyDict_SetItem(out.get(), n.*field, py::getattr(a[0], n.*field).get()));
    return out;
}

// cls(**{key: value for key, value in data.items() if key in cls.__dataclass_fields__})
Ref from_dict_body(const Args& a) {
    Borrowed cls = a[0], data = a[1];
    Ref known = py::getattr(cls, names().__dataclass_fields__);
    Ref kwargs = py::steal_or_throw(PyDict_New());
    for_each_item(data, [&](Borrowed key, Borrowed value) {
        if (contains(known, key)) py::check(PyDict_SetItem(kwargs.get(), key.get(), value.get()));
        return false;
    });
    return py::steal_or_throw(PyObject_Call(cls.get(), cache->no_args.get(), kwargs.get()));
}

constexpr Param self_only[] = {py::self_param};
constexpr Param from_dict_params[] = {{"cls"}, {"data", Type::dict}};

constexpr py::FunctionDef default_enabled_def{"_default_enabled_models", std::span<const Param>{}, msg::default_enabled_doc,
                                              default_enabled_models, nullptr, py::Result::list};
constexpr py::FunctionDef to_dict_def{"to_dict", self_only, msg::to_dict_doc, to_dict_body, nullptr,
                                      py::Result::dict};
constexpr py::FunctionDef from_dict_def{"from_dict", from_dict_params, msg::from_dict_doc, from_dict_body};

const py::FunctionDef* const methods[] = {&to_dict_def};
const py::FunctionDef* const classmethods[] = {&from_dict_def};

constexpr FieldDef config_fields[] = {
    {"enabled_models", "list[str]", {FieldDefault::factory, nullptr, 0.0, 0, &default_enabled_def}},
    {"cost_conscious", "bool", {FieldDefault::false_}},
    {"default_worker_model", "str", {FieldDefault::text, "auto"}},
    {"default_scheduler_model", "str", {FieldDefault::text, "auto"}},
};

constexpr py::DataclassDef config_class{"ModelRoutingConfig", msg::config_doc, config_fields, methods, classmethods};

}  // namespace

Ref make_config_type() {
    Cache& c = cache.emplace();
    c.no_args = py::steal_or_throw(PyTuple_New(0));
    c.dict_template = py::steal_or_throw(PyDict_New());
    for (auto field : fields) py::check(PyDict_SetItem(c.dict_template.get(), names().*field, Py_None));
    return py::make_dataclass(module_name, config_class);
}

}  // namespace zorvik::core
