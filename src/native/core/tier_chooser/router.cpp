// TierChooser: picks the model of each worker and scheduled job from the
// explicit choice, the user's default or the task's complexity, and keeps
// per-model usage counts.
//
// Calls from one method to another go through the instance, and the
// catalogue, the classifier and the logger are read from the module namespace
// at each call, so a subclass, an instance attribute or a rebound module
// name replaces them.
#include "mapping.hpp"

#include <array>

namespace zorvik::core {

namespace {

using py::Param;
using py::Type;

constexpr Py_ssize_t excerpt_length = 50;

// Preference lists by tier, in order of preference.
using Preference = std::array<PyObject* Names::*, 3>;
constexpr Preference normal_complex{&Names::claude_opus, &Names::claude_sonnet, &Names::gpt_5_2};
constexpr Preference normal_moderate{&Names::claude_sonnet, &Names::claude_haiku, &Names::gpt_5_2};
constexpr Preference normal_simple{&Names::claude_haiku, &Names::claude_sonnet, &Names::gpt_5_2};
constexpr Preference cheap_complex{&Names::claude_sonnet, &Names::claude_haiku, &Names::gpt_5_2};
constexpr Preference cheap_moderate{&Names::claude_haiku, &Names::claude_sonnet, &Names::gpt_5_2};
constexpr Preference cheap_simple{&Names::claude_haiku, &Names::claude_sonnet, &Names::gpt_5_2};

struct Cache {
    Ref tier_index;        // {Complexity.COMPLEX: 0, MODERATE: 1, SIMPLE: 2}, looked up as the map would be
    Ref listing_template;  // the keys of a get_available_models() entry, in order
    Ref usage_template;    // {"calls": 0, "tokens": 0}
    Ref zero, one, empty;
};
py::Static<Cache> cache;

Ref format_text(Borrowed value) {
    if (PyUnicode_CheckExact(value.get())) return py::borrow(value);
    return py::steal_or_throw(PyObject_Format(value.get(), cache->empty.get()));
}

Ref excerpt(Borrowed text) { return py::steal_or_throw(PyUnicode_Substring(text.get(), 0, excerpt_length)); }

Ref config_of(Borrowed self) { return py::getattr(self, names()._config); }

bool is_available(Borrowed self, Borrowed spec) {
    return py::truth(py::call_method(self, names()._is_available, spec));
}

template <class... A>
void log(PyObject* level, const char* format, A&&... args) {
    Ref logger = module_global(names().logger);
    Ref line = py::steal_or_throw(PyUnicode_FromFormat(format, Borrowed(args).get()...));
    py::call_method(logger, level, line);
}

// ------------------------------------------------------------ construction

void init(const Args& a) {
    const Names& n = names();
    Borrowed self = a[0];
    Ref config = py::truth(a[1]) ? py::borrow(a[1]) : py::call(module_global(n.ModelRoutingConfig));
    py::setattr(self, n._config, config);
    Ref secrets = py::truth(a[2]) ? py::borrow(a[2]) : py::call(module_global(n.SecretsStore));
    py::setattr(self, n._secrets, secrets);
    py::setattr(self, n._usage_stats, py::steal_or_throw(PyDict_New()));
}

Ref config_body(const Args& a) { return config_of(a[0]); }

Ref update_config_body(const Args& a) {
    py::setattr(a[0], names()._config, a[1]);
    return py::none();
}

// ------------------------------------------------------------ selection

Ref get_model_body(const Args& a) {
    Ref spec = entry_of(module_global(names().AVAILABLE_MODELS), a[1]);
    if (!spec || !is_available(a[0], spec)) return py::none();
    return spec;
}

// The three steps shared by workers and scheduled jobs: explicit key, the
// user's default, the automatic choice. Only workers log.
Ref select(const Args& a, PyObject* default_field, bool logs) {
    const Names& n = names();
    Borrowed self = a[0], text = a[1], model_key = a[2];
    if (!model_key.is_none() && PyUnicode_GET_LENGTH(model_key.get()) > 0 && !equals(model_key, n.auto_)) {
        Ref spec = py::call_method(self, n.get_model, model_key);
        if (py::truth(spec)) {
            if (logs) log(n.info, msg::worker_explicit, format_text(py::getattr(spec, n.display_name)), excerpt(text));
            return spec;
        }
        if (logs) log(n.warning, msg::worker_unavailable, model_key);
    }
    Ref default_key = py::getattr(config_of(self), default_field);
    if (py::truth(default_key) && !equals(default_key, n.auto_)) {
        Ref spec = py::call_method(self, n.get_model, default_key);
        if (py::truth(spec)) {
            if (logs) log(n.info, msg::worker_default, format_text(py::getattr(spec, n.display_name)), excerpt(text));
            return spec;
        }
    }
    Ref complexity = py::call(module_global(n.classify_complexity), text);
    Ref spec = py::call_method(self, n._select_for_complexity, complexity);
    if (logs)
        log(n.info, msg::worker_auto, format_text(py::getattr(complexity, n.value)),
            format_text(py::getattr(spec, n.display_name)), excerpt(text));
    return spec;
}

Ref select_for_worker_body(const Args& a) { return select(a, names().default_worker_model, true); }
Ref select_for_scheduler_body(const Args& a) { return select(a, names().default_scheduler_model, false); }

const Preference& preference_for(Borrowed complexity, bool cheap) {
    static constexpr const Preference* normal[] = {&normal_complex, &normal_moderate, &normal_simple};
    static constexpr const Preference* cost_conscious[] = {&cheap_complex, &cheap_moderate, &cheap_simple};
    static constexpr Preference fallback{&Names::claude_sonnet, nullptr, nullptr};
    const Module& g = mod();
    int tier = complexity.is(g.complex_) ? 0 : complexity.is(g.moderate) ? 1 : complexity.is(g.simple) ? 2 : -1;
    if (tier < 0) {
        PyObject* raw = nullptr;
        py::check(PyDict_GetItemRef(cache->tier_index.get(), complexity.get(), &raw));
        Ref found = py::steal(raw);
        if (!found) return fallback;
        tier = static_cast<int>(PyLong_AsLong(found.get()));
    }
    return *(cheap ? cost_conscious : normal)[tier];
}

Ref select_for_complexity_body(const Args& a) {
    const Names& n = names();
    Borrowed self = a[0];
    const Preference& candidates = preference_for(a[1], py::truth(py::getattr(config_of(self), n.cost_conscious)));
    Ref models = module_global(n.AVAILABLE_MODELS);
    for (auto candidate : candidates) {
        if (!candidate) break;
        PyObject* key = n.*candidate;
        if (!contains(models, key) || !contains(py::getattr(config_of(self), n.enabled_models), key)) continue;
        Ref spec = py::steal_or_throw(PyObject_GetItem(models.get(), key));
        if (is_available(self, spec)) return spec;
    }
    return py::call_method(self, n._get_fallback);
}

Ref get_fallback_body(const Args& a) {
    const Names& n = names();
    Borrowed self = a[0];
    Ref enabled = py::getattr(config_of(self), n.enabled_models);
    Ref models = module_global(n.AVAILABLE_MODELS);
    Ref iterator = py::steal_or_throw(PyObject_GetIter(enabled.get()));
    while (Ref key = py::steal(PyIter_Next(iterator.get()))) {
        Ref spec = entry_of(models, key);
        if (spec && is_available(self, spec)) return spec;
    }
    if (PyErr_Occurred()) py::throw_pending();
    return py::steal_or_throw(PyObject_GetItem(models.get(), n.claude_sonnet));
}

Ref is_available_body(const Args& a) {
    const Names& n = names();
    Borrowed self = a[0], spec = a[1];
    Ref wanted = py::getattr(spec, n.id);
    Ref key;
    for_each_item(module_global(n.AVAILABLE_MODELS), [&](Borrowed k, Borrowed model) {
        if (!equals(py::getattr(model, n.id), wanted)) return false;
        key = py::borrow(k);
        return true;
    });
    if (key && !contains(py::getattr(config_of(self), n.enabled_models), key)) return py::boolean(false);
    return py::call_method(py::getattr(self, n._secrets), n.has_key, py::getattr(spec, n.provider));
}

// ------------------------------------------------------------ listing and usage

// usage.get(key, {}).get(field, 0)
Ref usage_count(Borrowed usage, Borrowed key, PyObject* field) {
    Ref per_model = entry_of(usage, key);
    if (!per_model) return cache->zero;
    Ref count = entry_of(per_model, field);
    return count ? count : cache->zero;
}

Ref get_available_models_body(const Args& a) {
    const Names& n = names();
    Borrowed self = a[0];
    Ref listing = py::steal_or_throw(PyList_New(0));
    for_each_item(module_global(n.AVAILABLE_MODELS), [&](Borrowed key, Borrowed spec) {
        Ref entry = py::steal_or_throw(PyDict_Copy(cache->listing_template.get()));
        auto put = [&](PyObject* name, Borrowed value) { py::check(PyDict_SetItem(entry.get(), name, value.get())); };
        put(n.key, key);
        for (PyObject* field : {n.id, n.provider, n.display_name, n.description}) put(field, py::getattr(spec, field));
        put(n.complexity_tier, py::getattr(py::getattr(spec, n.complexity_tier), n.value));
        put(n.enabled, py::boolean(contains(py::getattr(config_of(self), n.enabled_models), key)));
        put(n.available, py::call_method(self, n._is_available, spec));
        for (PyObject* field : {n.cost_per_1k_input, n.cost_per_1k_output}) put(field, py::getattr(spec, field));
        Ref usage = py::getattr(self, n._usage_stats);
        put(n.calls, usage_count(usage, key, n.calls));
        put(n.tokens, usage_count(usage, key, n.tokens));
        py::check(PyList_Append(listing.get(), entry.get()));
        return false;
    });
    return listing;
}

// usage[key][field] += amount
void add_usage(Borrowed usage, Borrowed key, PyObject* field, Borrowed amount) {
    Ref per_model = py::steal_or_throw(PyObject_GetItem(usage.get(), key.get()));
    Ref count = py::steal_or_throw(PyObject_GetItem(per_model.get(), field));
    Ref sum = py::steal_or_throw(PyNumber_InPlaceAdd(count.get(), amount.get()));
    py::check(PyObject_SetItem(per_model.get(), field, sum.get()));
}

Ref record_usage_body(const Args& a) {
    const Names& n = names();
    Borrowed key = a[1];
    Ref usage = py::getattr(a[0], n._usage_stats);
    if (!contains(usage, key)) {
        Ref fresh = py::steal_or_throw(PyDict_Copy(cache->usage_template.get()));
        py::check(PyObject_SetItem(usage.get(), key.get(), fresh.get()));
    }
    add_usage(usage, key, n.calls, cache->one);
    add_usage(usage, key, n.tokens, a[2]);
    return py::none();
}

Ref get_usage_stats_body(const Args& a) {
    Ref usage = py::getattr(a[0], names()._usage_stats);
    if (PyDict_CheckExact(usage.get())) return py::steal_or_throw(PyDict_Copy(usage.get()));
    return py::call(reinterpret_cast<PyObject*>(&PyDict_Type), usage);
}

Ref litellm_body(const Args& a) {
    const Names& n = names();
    Borrowed spec = a[1];
    Ref provider = py::getattr(spec, n.provider);
    const char* prefix = equals(provider, n.anthropic) ? msg::anthropic_prefix
                         : equals(provider, n.openai)  ? msg::openai_prefix
                                                       : nullptr;
    Ref id = py::getattr(spec, n.id);
    if (!prefix) return id;
    return py::steal_or_throw(PyUnicode_FromFormat("%s%U", prefix, format_text(id).get()));
}

// ------------------------------------------------------------ the class

constexpr Param init_params[] = {
    py::self_param,
    {"config", Type::any, py::defaults::none},
    {"secrets", Type::any, py::defaults::none},
};
constexpr Param self_only[] = {py::self_param};
constexpr Param config_params[] = {py::self_param, {"config"}};
constexpr Param model_key_params[] = {py::self_param, {"model_key", Type::str}};
constexpr Param worker_params[] = {
    py::self_param,
    {"task_description", Type::str},
    {"model_key", Type::str, py::defaults::none, true},
};
constexpr Param scheduler_params[] = {
    py::self_param,
    {"job_description", Type::str},
    {"model_key", Type::str, py::defaults::none, true},
};
constexpr Param record_usage_params[] = {
    py::self_param,
    {"model_key", Type::str},
    {"tokens", Type::int_, py::defaults::integer(0)},
};
constexpr Param spec_params[] = {py::self_param, {"spec"}};
constexpr Param complexity_params[] = {py::self_param, {"complexity"}};

using py::FunctionDef;
using py::Result;

constexpr FunctionDef config_def{"config", self_only, msg::config_property_doc, config_body};
constexpr FunctionDef update_config_def{"update_config", config_params, msg::update_config_doc, update_config_body};
constexpr FunctionDef get_model_def{"get_model", model_key_params, msg::get_model_doc, get_model_body};
constexpr FunctionDef select_for_worker_def{"select_for_worker", worker_params, msg::select_for_worker_doc,
                                            select_for_worker_body};
constexpr FunctionDef select_for_scheduler_def{"select_for_scheduler", scheduler_params,
                                               msg::select_for_scheduler_doc, select_for_scheduler_body};
constexpr FunctionDef get_available_models_def{"get_available_models", self_only, msg::get_available_models_doc,
                                               get_available_models_body, nullptr, Result::list};
constexpr FunctionDef record_usage_def{"record_usage", record_usage_params, msg::record_usage_doc,
                                       record_usage_body};
constexpr FunctionDef get_usage_stats_def{"get_usage_stats", self_only, msg::get_usage_stats_doc,
                                          get_usage_stats_body, nullptr, Result::dict};
constexpr FunctionDef litellm_def{"get_litellm_model_string", spec_params, msg::litellm_doc, litellm_body, nullptr,
                                  Result::str};
constexpr FunctionDef is_available_def{"_is_available", spec_params, msg::is_available_doc, is_available_body};
constexpr FunctionDef select_for_complexity_def{"_select_for_complexity", complexity_params,
                                                msg::select_for_complexity_doc, select_for_complexity_body};
constexpr FunctionDef get_fallback_def{"_get_fallback", self_only, msg::get_fallback_doc, get_fallback_body};

// After `config`, in the order of the class body.
const FunctionDef* const methods[] = {
    &update_config_def,    &get_model_def,    &select_for_worker_def, &select_for_scheduler_def,
    &get_available_models_def, &record_usage_def, &get_usage_stats_def, &litellm_def,
    &is_available_def,     &select_for_complexity_def, &get_fallback_def,
};

constexpr py::ClassDef router_class{"TierChooser", msg::router_doc, init_params, init, {}};

void fill_cache() {
    const Names& n = names();
    const Module& g = mod();
    Cache& c = cache.emplace();
    c.zero = py::steal_or_throw(PyLong_FromLong(0));
    c.one = py::steal_or_throw(PyLong_FromLong(1));
    c.empty = py::steal_or_throw(PyUnicode_FromStringAndSize(nullptr, 0));
    c.tier_index = py::steal_or_throw(PyDict_New());
    long index = 0;
    for (const Ref* tier : {&g.complex_, &g.moderate, &g.simple})
        py::check(PyDict_SetItem(c.tier_index.get(), tier->get(), py::steal_or_throw(PyLong_FromLong(index++)).get()));
    c.listing_template = py::steal_or_throw(PyDict_New());
    for (PyObject* key : {n.key, n.id, n.provider, n.display_name, n.description, n.complexity_tier, n.enabled,
                          n.available, n.cost_per_1k_input, n.cost_per_1k_output, n.calls, n.tokens})
        py::check(PyDict_SetItem(c.listing_template.get(), key, Py_None));
    c.usage_template = py::steal_or_throw(PyDict_New());
    for (PyObject* key : {n.calls, n.tokens}) py::check(PyDict_SetItem(c.usage_template.get(), key, c.zero.get()));
}

}  // namespace

Ref make_router_type() {
    fill_cache();
    Ref type = py::make_class<router_class>(module_name);
    auto* as_type = reinterpret_cast<PyTypeObject*>(type.get());
    Ref getter = py::make_function(config_def, module_name, router_class.name);
    py::set_function_owner(getter, as_type);
    Ref property = py::call(reinterpret_cast<PyObject*>(&PyProperty_Type), getter);
    py::setattr(type, names().config, property);
    py::install_methods(type, module_name, methods);
    return type;
}

}  // namespace zorvik::core
