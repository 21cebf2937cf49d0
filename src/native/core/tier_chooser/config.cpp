// ModelRoutingConfig: the user's routing preferences, a data class made by
// the interpreter's own `dataclasses`, with native to_dict and from_dict.
#include "mapping.hpp"
#include "watch.hpp"

#include <stdexcept>

namespace zorvik::core {

namespace {

using py::FieldDef;
using py::FieldDefault;
using py::Param;
using py::Type;

// The fields in constructor and to_dict() order.
constexpr Record::Field fields[] = {
    &Names::enabled_models,
    &Names::cost_conscious,
    &Names::default_worker_model,
    &Names::default_scheduler_model,
};

struct Cache {
    Ref no_args;  // ()
    // The class as made, and what its construction runs: the generated
    // __init__ (its code, defaults) and the type slots that call it.
    Ref type;
    Ref init, init_code, init_defaults;
    newfunc type_new = nullptr;
    initproc type_init = nullptr;
};
py::Static<Cache> cache;
py::Static<Record> config_record;

Ref default_enabled_models(const Args&) {
    const Names& n = names();
    Ref list = py::steal_or_throw(PyList_New(0));
    for (PyObject* key : {n.claude_opus, n.claude_sonnet, n.claude_haiku, n.gpt_5_2})
        py::check(PyList_Append(list.get(), key));
    return list;
}

// The last to_dict() result, kept with the instance dict it came from
// while that dict (watched) and the class's version stay as they were: a
// copy of it is the next result.
struct LastDict {
    Ref instance_dict;
    PyTypeObject* type = nullptr;
    unsigned version = 0;
    std::uint64_t generation = 0;
    Ref result;
};
py::Static<LastDict> last_dict;

Ref to_dict_body(const Args& a) {
    const Names& n = names();
    Borrowed self = a[0];
    LastDict& last = *last_dict;
    Ref dict = config_record->plain_dict(self);
    PyTypeObject* type = Py_TYPE(self.get());
    if (dict && dict.is(last.instance_dict) && type == last.type && type->tp_version_tag == last.version &&
        last.generation == watch::generation())
        return py::steal_or_throw(PyDict_Copy(last.result.get()));
    std::array<Ref, std::size(fields)> values;
    config_record->get(self, 0, values);
    Ref out = py::steal_or_throw(PyDict_New());
    for (std::size_t i = 0; i < values.size(); ++i) py::check(PyDict_SetItem(out.get(), n.*fields[i], values[i].get()));
    if (dict && watch::enabled()) {
        watch::add(dict);
        last = {dict, type, type->tp_version_tag, watch::generation(), py::steal_or_throw(PyDict_Copy(out.get()))};
    }
    return out;
}

// Whether calling `cls` still runs exactly what the data class was made
// with: the plain metaclass, the inherited __new__ and the generated
// __init__ (same function, code and defaults), storing through the generic
// attribute protocol.
bool construction_unchanged(Borrowed cls) {
    const Cache& c = *cache;
    auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
    if (!cls.is(c.type) || Py_TYPE(cls.get()) != &PyType_Type || type->tp_new != c.type_new ||
        type->tp_init != c.type_init || type->tp_setattro != PyObject_GenericSetAttr)
        return false;
    PyObject* init = _PyType_Lookup(type, names().__init__);
    return init == c.init.get() && PyFunction_GetCode(init) == c.init_code.get() &&
           PyFunction_GetDefaults(init) == c.init_defaults.get() && !PyFunction_GetKwDefaults(init);
}

// What the generated __init__ does with these arguments (null: not given):
// each field set in order, from the argument or the default, the list of
// enabled models made by the default factory.
Ref construct(Borrowed cls, const std::array<Borrowed, std::size(fields)>& given) {
    const Cache& c = *cache;
    auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
    Ref self = py::steal_or_throw(type->tp_new(type, c.no_args.get(), nullptr));
    for (std::size_t i = 0; i < given.size(); ++i) {
        Borrowed default_value = PyTuple_GET_ITEM(c.init_defaults.get(), static_cast<Py_ssize_t>(i));
        Borrowed value = given[i] ? given[i] : default_value;
        Ref made;
        if (i == config_enabled_models && value.is(default_value)) made = default_enabled_models({});
        py::setattr(self, names().*fields[i], made ? Borrowed(made) : value);
    }
    return self;
}

// cls(**{key: value for key, value in data.items() if key in cls.__dataclass_fields__})
Ref from_dict_body(const Args& a) {
    const Names& n = names();
    Borrowed cls = a[0], data = a[1];
    Ref known = py::getattr(cls, n.__dataclass_fields__);
    Ref kwargs = py::steal_or_throw(PyDict_New());
    // Filled as well while every kept key is one of the generated
    // __init__'s parameters.
    bool direct = construction_unchanged(cls);
    std::array<Borrowed, std::size(fields)> given{};
    for_each_item(data, [&](Borrowed key, Borrowed value) {
        if (!contains(known, key)) return false;
        py::check(PyDict_SetItem(kwargs.get(), key.get(), value.get()));
        std::size_t i = 0;
        while (i < given.size() && !key.is(n.*fields[i])) ++i;
        if (i == given.size())
            direct = false;
        else
            given[i] = value;
        return false;
    });
    if (direct) return construct(cls, given);
    return py::steal_or_throw(PyObject_Call(cls.get(), cache->no_args.get(), kwargs.get()));
}

constexpr Param self_only[] = {py::self_param};
constexpr Param from_dict_params[] = {{"cls"}, {"data", Type::dict, {}, false, "dict[str, Any]"}};

constexpr py::FunctionDef default_enabled_def{
    "_default_enabled_models", std::span<const Param>{}, msg::default_enabled_doc, default_enabled_models, nullptr,
    py::Result::list};
constexpr py::FunctionDef to_dict_def{"to_dict", self_only,        msg::to_dict_doc, to_dict_body,
                                      nullptr,   py::Result::dict, "dict[str, Any]"};
constexpr py::FunctionDef from_dict_def{"from_dict", from_dict_params, msg::from_dict_doc,  from_dict_body,
                                        nullptr,     py::Result::any,  "ModelRoutingConfig"};

const py::FunctionDef* const methods[] = {&to_dict_def};
const py::FunctionDef* const classmethods[] = {&from_dict_def};

constexpr FieldDef field_defs[] = {
    {"enabled_models", "list[str]", {FieldDefault::factory, nullptr, 0.0, 0, &default_enabled_def}},
    {"cost_conscious", "bool", {FieldDefault::false_}},
    {"default_worker_model", "str", {FieldDefault::text, "auto"}},
    {"default_scheduler_model", "str", {FieldDefault::text, "auto"}},
};

constexpr py::DataclassDef config_class{"ModelRoutingConfig", msg::config_doc, field_defs, methods, classmethods};

}  // namespace

const Record& config_fields() { return *config_record; }

Ref make_config_type() {
    config_record.emplace(fields);
    last_dict.emplace();
    Cache& c = cache.emplace();
    c.no_args = py::steal_or_throw(PyTuple_New(0));
    Ref type = py::make_dataclass(module_name, config_class);
    auto* as_type = reinterpret_cast<PyTypeObject*>(type.get());
    c.type = type;
    c.type_new = as_type->tp_new;
    c.type_init = as_type->tp_init;
    c.init = py::getattr(type, names().__init__);
    c.init_code = py::borrow(PyFunction_GetCode(c.init.get()));
    c.init_defaults = py::borrow(PyFunction_GetDefaults(c.init.get()));
    if (!PyTuple_Check(c.init_defaults.get()) || PyTuple_GET_SIZE(c.init_defaults.get()) != std::ssize(fields))
        throw std::logic_error("unexpected __init__ of the routing configuration");
    return type;
}

}  // namespace zorvik::core
