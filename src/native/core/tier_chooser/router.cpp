// TierChooser: picks the model of each worker and scheduled job from the
// explicit choice, the user's default or the task's complexity, and keeps
// per-model usage counts.
//
// Calls from one method to another go through the instance, and the
// catalogue, the classifier and the logger are read from the module namespace
// at each call, so a subclass, an instance attribute or a rebound module
// name replaces them.
#include "attributes.hpp"
#include "catalogue_view.hpp"
#include "log_gate.hpp"
#include "mapping.hpp"
#include "text.hpp"
#include "watch.hpp"

#include <array>
#include <cstdint>

namespace zorvik::core {

namespace {

using py::Param;
using py::Type;

constexpr Py_ssize_t excerpt_length = 50;

// Preference lists by tier, in order of preference.
using Preference = std::array<PyObject * Names::*, 3>;
constexpr Preference normal_complex{&Names::claude_opus, &Names::claude_sonnet, &Names::gpt_5_2};
constexpr Preference normal_moderate{&Names::claude_sonnet, &Names::claude_haiku, &Names::gpt_5_2};
constexpr Preference normal_simple{&Names::claude_haiku, &Names::claude_sonnet, &Names::gpt_5_2};
constexpr Preference cheap_complex{&Names::claude_sonnet, &Names::claude_haiku, &Names::gpt_5_2};
constexpr Preference cheap_moderate{&Names::claude_haiku, &Names::claude_sonnet, &Names::gpt_5_2};
constexpr Preference cheap_simple{&Names::claude_haiku, &Names::claude_sonnet, &Names::gpt_5_2};

// One of the class's own methods, and the last answer to whether
// `self.<name>` resolves to it: it stands while the instance dict it was
// given for (watched) and the class's version are unchanged.
struct OwnMethod {
    Ref function;
    PyObject* dict = nullptr;
    PyTypeObject* type = nullptr;
    unsigned version = 0;
    std::uint64_t generation = 0;
    bool resolves = false;
};

struct Cache {
    Ref tier_index;      // {Complexity.COMPLEX: 0, MODERATE: 1, SIMPLE: 2}, looked up as the map would be
    Ref usage_template;  // {"calls": 0, "tokens": 0}
    Ref zero, one;
    Template worker_explicit{msg::worker_explicit};
    Template worker_unavailable{msg::worker_unavailable};
    Template worker_default{msg::worker_default};
    Template worker_auto{msg::worker_auto};
    // The class's own methods, to recognise calls that nothing replaced.
    OwnMethod own_get_model, own_is_available, own_select_for_complexity, own_get_fallback;
};
py::Static<Cache> cache;

Piece excerpt(Borrowed text) { return {text.get(), 0, excerpt_length}; }

enum RouterField : std::size_t { router_config, router_secrets, router_usage_stats };
py::Static<Record> router_fields;

Ref config_of(Borrowed self) { return router_fields->get(self, router_config); }

// Whether `self.<name>` is the class's own native method `own`: found on
// the class through the MRO and not shadowed by the instance dict. Its C++
// body can then run directly, without the lookup and argument parsing of a
// Python-level call.
bool resolves_to_own(Borrowed self, PyObject* name, OwnMethod& own) {
    PyTypeObject* type = Py_TYPE(self.get());
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    Ref dict = py::steal_or_throw(PyObject_GenericGetDict(self.get(), nullptr));
    if (own.dict == dict.get() && own.type == type && own.version == type->tp_version_tag && own.version != 0 &&
        own.generation == watch::generation())
        return own.resolves;
    own.dict = nullptr;
    if (watch::enabled()) watch::add(dict);
    const std::uint64_t start = watch::generation();
    bool resolves = _PyType_Lookup(type, name) == own.function.get();
    if (resolves) {
        const int shadowed = PyDict_Contains(dict.get(), name);
        py::check(shadowed);
        resolves = !shadowed;
    }
    if (watch::enabled() && watch::generation() == start) {
        own.dict = dict.get();
        own.type = type;
        own.version = type->tp_version_tag;
        own.generation = start;
        own.resolves = resolves;
    }
    return resolves;
}

Ref get_model(Borrowed self, Borrowed model_key);
Ref is_available(Borrowed self, Borrowed spec);
Ref select_for_complexity(Borrowed self, Borrowed complexity);
Ref get_fallback(Borrowed self);

// self.get_model(model_key) and the others, through the instance.
Ref call_get_model(Borrowed self, Borrowed model_key) {
    if (PyUnicode_CheckExact(model_key.get()) && resolves_to_own(self, names().get_model, cache->own_get_model))
        return get_model(self, model_key);
    return py::call_method(self, names().get_model, model_key);
}
Ref call_is_available(Borrowed self, Borrowed spec) {
    if (resolves_to_own(self, names()._is_available, cache->own_is_available)) return is_available(self, spec);
    return py::call_method(self, names()._is_available, spec);
}
Ref call_select_for_complexity(Borrowed self, Borrowed complexity) {
    if (resolves_to_own(self, names()._select_for_complexity, cache->own_select_for_complexity))
        return select_for_complexity(self, complexity);
    return py::call_method(self, names()._select_for_complexity, complexity);
}
Ref call_get_fallback(Borrowed self) {
    if (resolves_to_own(self, names()._get_fallback, cache->own_get_fallback)) return get_fallback(self);
    return py::call_method(self, names()._get_fallback);
}

// Whether the module logger would drop a record of `level` anyway, so the
// line need not be built.
bool dropped(py::LogLevel level) { return log_dropped(level); }

void log(py::LogLevel level, const Template& line, std::initializer_list<Piece> arguments) {
    Ref logger = module_global(names().logger);
    py::call_method(logger, level == py::LogLevel::info ? names().info : names().warning, line.render(arguments));
}

// "... <display name> for '<excerpt>'"
void log_choice(py::LogLevel level, const Template& line, Borrowed spec, Borrowed text) {
    Ref display_name = format_text(spec_fields().get(spec, spec_display_name));
    log(level, line, {{display_name.get()}, excerpt(text)});
}

// ------------------------------------------------------------ construction

Ref init(const Args& a) {
    const Names& n = names();
    Borrowed self = a[0];
    Ref config = py::truth(a[1]) ? py::borrow(a[1]) : py::call(module_global(n.ModelRoutingConfig));
    py::setattr(self, n._config, config);
    Ref secrets = py::truth(a[2]) ? py::borrow(a[2]) : py::call(module_global(n.SecretsStore));
    py::setattr(self, n._secrets, secrets);
    py::setattr(self, n._usage_stats, py::steal_or_throw(PyDict_New()));
return py::none();
}

Ref config_body(const Args& a) { return config_of(a[0]); }

Ref update_config_body(const Args& a) {
    py::setattr(a[0], names()._config, a[1]);
    return py::none();
}

// ------------------------------------------------------------ selection

Ref get_model(Borrowed self, Borrowed model_key) {
    Ref spec = entry_of(module_global(names().AVAILABLE_MODELS), model_key);
    if (!spec || !py::truth(call_is_available(self, spec))) return py::none();
    return spec;
}

// The three steps shared by workers and scheduled jobs: explicit key, the
// user's default, the automatic choice. Only workers log.
Ref select(const Args& a, ConfigField default_field, bool logs) {
    const Names& n = names();
    Borrowed self = a[0], text = a[1], model_key = a[2];
    if (!model_key.is_none() && PyUnicode_GET_LENGTH(model_key.get()) > 0 && !equals(model_key, n.auto_)) {
        Ref spec = call_get_model(self, model_key);
        if (py::truth(spec)) {
            if (logs && !dropped(py::LogLevel::info))
                log_choice(py::LogLevel::info, cache->worker_explicit, spec, text);
            return spec;
        }
        if (logs && !dropped(py::LogLevel::warning))
            log(py::LogLevel::warning, cache->worker_unavailable, {{model_key.get()}});
    }
    Ref default_key = config_fields().get(config_of(self), default_field);
    if (py::truth(default_key) && !equals(default_key, n.auto_)) {
        Ref spec = call_get_model(self, default_key);
        if (py::truth(spec)) {
            if (logs && !dropped(py::LogLevel::info)) log_choice(py::LogLevel::info, cache->worker_default, spec, text);
            return spec;
        }
    }
    Ref complexity = py::call(module_global(n.classify_complexity), text);
    Ref spec = call_select_for_complexity(self, complexity);
    if (logs && !dropped(py::LogLevel::info)) {
        Ref tier = format_text(tier_value(complexity));
        Ref display_name = format_text(spec_fields().get(spec, spec_display_name));
        log(py::LogLevel::info, cache->worker_auto, {{tier.get()}, {display_name.get()}, excerpt(text)});
    }
    return spec;
}

Ref select_for_worker_body(const Args& a) { return select(a, config_default_worker_model, true); }
Ref select_for_scheduler_body(const Args& a) { return select(a, config_default_scheduler_model, false); }

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

Ref select_for_complexity(Borrowed self, Borrowed complexity) {
    const Names& n = names();
    const Record& config = config_fields();
    const Preference& candidates =
        preference_for(complexity, py::truth(config.get(config_of(self), config_cost_conscious)));
    Ref models = module_global(n.AVAILABLE_MODELS);
    for (auto candidate : candidates) {
        if (!candidate) break;
        PyObject* key = n.*candidate;
        if (!contains(models, key) || !contains(config.get(config_of(self), config_enabled_models), key)) continue;
        Ref spec = py::steal_or_throw(PyObject_GetItem(models.get(), key));
        if (py::truth(call_is_available(self, spec))) return spec;
    }
    return call_get_fallback(self);
}

Ref get_fallback(Borrowed self) {
    const Names& n = names();
    Ref enabled = config_fields().get(config_of(self), config_enabled_models);
    Ref models = module_global(n.AVAILABLE_MODELS);
    Ref iterator = py::steal_or_throw(PyObject_GetIter(enabled.get()));
    while (Ref key = py::steal(PyIter_Next(iterator.get()))) {
        Ref spec = entry_of(models, key);
        if (spec && py::truth(call_is_available(self, spec))) return spec;
    }
    if (PyErr_Occurred()) py::throw_pending();
    return py::steal_or_throw(PyObject_GetItem(models.get(), n.claude_sonnet));
}

// The catalogue key whose spec has `spec`'s id (the first, in catalogue
// order), read from a snapshot when the ids are plain texts; false when the
// snapshot cannot answer.
bool key_from_snapshot(const CatalogueSnapshot& snapshot, Borrowed wanted, Ref& key) {
    if (!PyUnicode_CheckExact(wanted.get()) || !snapshot.valid()) return false;
    for (const CatalogueEntry& e : snapshot.entries()) {
        if (!PyUnicode_CheckExact(e.id.get())) return false;
        if (e.id.is(wanted) || PyUnicode_Equal(e.id.get(), wanted.get()) == 1) {
            key = e.key;
            return true;
        }
    }
    return true;
}

Ref is_available(Borrowed self, Borrowed spec) {
    const Names& n = names();
    const Record& fields = spec_fields();
    Ref models = module_global(n.AVAILABLE_MODELS);
    auto snapshot = catalogue_view().of(models);
    // A spec of the snapshot is read from it; reading another may run code.
    const CatalogueEntry* own = snapshot ? snapshot->entry_of(spec) : nullptr;
    Ref wanted = own ? own->id : fields.get(spec, spec_id);
    Ref key;
    // of() has just found the snapshot valid, and nothing has run since.
    if (own && own->id_key)
        key = own->id_key;
    else if (!snapshot || !key_from_snapshot(*snapshot, wanted, key)) {
        key.reset();
        for_each_item(models, [&](Borrowed k, Borrowed model) {
            if (!equals(fields.get(model, spec_id), wanted)) return false;
            key = py::borrow(k);
            return true;
        });
    }
    if (key && !contains(config_fields().get(config_of(self), config_enabled_models), key)) return py::boolean(false);
    Ref secrets = router_fields->get(self, router_secrets);
    Ref provider = own && snapshot->valid() ? own->provider : fields.get(spec, spec_provider);
    return py::call_method(secrets, n.has_key, provider);
}

// ------------------------------------------------------------ listing and usage

// usage.get(key, {}).get(field, 0)
Ref usage_count(Borrowed usage, Borrowed key, PyObject* field) {
    Ref per_model = entry_of(usage, key);
    if (!per_model) return cache->zero;
    Ref count = entry_of(per_model, field);
    return count ? count : cache->zero;
}

// Sets the listing's values that change per call (and, when the snapshot
// went stale meanwhile, the costs, which a dict display reads after the
// availability test).
Ref listing_entry(Borrowed self, Borrowed key, Borrowed spec, const CatalogueEntry* cached,
                  const CatalogueSnapshot* snapshot) {
    const Names& n = names();
    const Record& fields = spec_fields();
    std::array<Ref, 5> head;  // id, provider, display_name, complexity_tier, description
    if (!cached) fields.get(spec, spec_id, head);
    Ref enabled = py::boolean(contains(config_fields().get(config_of(self), config_enabled_models), key));
    Ref available = call_is_available(self, spec);
    std::array<Ref, 2> costs;
    if (!cached || !snapshot->valid()) fields.get(spec, spec_cost_per_1k_input, costs);
    Ref usage = router_fields->get(self, router_usage_stats);
    Ref entry;
    if (cached) {
        entry = py::steal_or_throw(PyDict_Copy(cached->listing.get()));
    } else {
        entry = py::steal_or_throw(_PyDict_NewPresized(listing_size));
        Ref tier_text = tier_value(head[3]);
        const std::array<Borrowed, 6> first = {key, head[0], head[1], head[2], head[4], tier_text};
        for (std::size_t i = 0; i < first.size(); ++i)
            py::check(PyDict_SetItem(entry.get(), listing_name(static_cast<ListingKey>(i)), first[i].get()));
    }
    auto put = [&](ListingKey k, Borrowed value) {
        py::check(PyDict_SetItem(entry.get(), listing_name(k), value.get()));
    };
    put(listing_enabled, enabled);
    put(listing_available, available);
    if (costs[0]) {
        put(listing_cost_per_1k_input, costs[0]);
        put(listing_cost_per_1k_output, costs[1]);
    }
    put(listing_calls, usage_count(usage, key, n.calls));
    put(listing_tokens, usage_count(usage, key, n.tokens));
    return entry;
}

Ref get_available_models_body(const Args& a) {
    const Names& n = names();
    Borrowed self = a[0];
    Ref models = module_global(n.AVAILABLE_MODELS);
    auto snapshot = catalogue_view().of(models);
    Ref listing = py::steal_or_throw(PyList_New(0));
    std::size_t position = 0;
    for_each_item(models, [&](Borrowed key, Borrowed spec) {
        const CatalogueEntry* cached = nullptr;
        if (snapshot && position < snapshot->entries().size() && snapshot->valid()) {
            const CatalogueEntry& e = snapshot->entries()[position];
            if (e.key.is(key) && e.spec.is(spec)) cached = &e;
        }
        ++position;
        Ref entry = listing_entry(self, key, spec, cached, snapshot.get());
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

// a + b for exact ints; those of one digit are added here, as the
// interpreter's own int addition does.
Ref add_ints(PyObject* a, PyObject* b) {
    auto* x = reinterpret_cast<PyLongObject*>(a);
    auto* y = reinterpret_cast<PyLongObject*>(b);
    if (PyUnstable_Long_IsCompact(x) && PyUnstable_Long_IsCompact(y))
        return py::steal_or_throw(
            PyLong_FromSsize_t(PyUnstable_Long_CompactValue(x) + PyUnstable_Long_CompactValue(y)));
    return py::steal_or_throw(PyNumber_Add(a, b));
}

// per_model["calls"] and per_model["tokens"] of an exact dict; one that
// holds just the two, under the very names given to it here, is read by
// walking its two entries.
void read_counters(Borrowed per_model, Ref& calls, Ref& used) {
    const Names& n = names();
    if (PyDict_GET_SIZE(per_model.get()) == 2) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(per_model.get(), &pos, &key, &value)) {
            if (key == n.calls) calls = py::borrow(value);
            if (key == n.tokens) used = py::borrow(value);
        }
        if (calls && used) return;
        calls.reset();
        used.reset();
    }
    PyObject* value = nullptr;
    py::check(PyDict_GetItemRef(per_model.get(), n.calls, &value));
    calls = py::steal(value);
    py::check(PyDict_GetItemRef(per_model.get(), n.tokens, &value));
    used = py::steal(value);
}

// The counters as exact ints in an exact dict: no code of the host's can
// run while they are updated, so one lookup serves both.
bool add_usage_directly(Borrowed per_model, Borrowed tokens) {
    const Names& n = names();
    if (!PyDict_CheckExact(per_model.get())) return false;
    Ref calls, used;
    read_counters(per_model, calls, used);
    if (!calls || !used || !PyLong_CheckExact(calls.get()) || !PyLong_CheckExact(used.get())) return false;
    py::check(PyDict_SetItem(per_model.get(), n.calls, add_ints(calls.get(), cache->one.get()).get()));
    py::check(PyDict_SetItem(per_model.get(), n.tokens, add_ints(used.get(), tokens.get()).get()));
    return true;
}

Ref record_usage_body(const Args& a) {
    const Names& n = names();
    Borrowed key = a[1], tokens = a[2];
    Ref usage = router_fields->get(a[0], router_usage_stats);
    Ref per_model = entry_of(usage, key);
    if (!per_model) {
        per_model = py::steal_or_throw(PyDict_Copy(cache->usage_template.get()));
        py::check(PyObject_SetItem(usage.get(), key.get(), per_model.get()));
        if (!PyDict_CheckExact(usage.get())) per_model.reset();
    }
    if (per_model && PyDict_CheckExact(usage.get()) && add_usage_directly(per_model, tokens)) return py::none();
    add_usage(usage, key, n.calls, cache->one);
    add_usage(usage, key, n.tokens, tokens);
    return py::none();
}

Ref get_usage_stats_body(const Args& a) {
    Ref usage = router_fields->get(a[0], router_usage_stats);
    if (PyDict_CheckExact(usage.get())) return py::steal_or_throw(PyDict_Copy(usage.get()));
    return py::call(reinterpret_cast<PyObject*>(&PyDict_Type), usage);
}

Ref litellm_body(const Args& a) {
    Borrowed spec = a[1];
    if (auto snapshot = catalogue_view().last())
        if (const CatalogueEntry* e = snapshot->entry_of(spec); e && e->model_string) return e->model_string;
    std::array<Ref, 2> fields;  // id, provider
    spec_fields().get(spec, spec_id, fields);
    return model_string(fields[1], fields[0]);
}

// ------------------------------------------------------------ the class

Ref get_model_body(const Args& a) { return get_model(a[0], a[1]); }
Ref is_available_body(const Args& a) { return is_available(a[0], a[1]); }
Ref select_for_complexity_body(const Args& a) { return select_for_complexity(a[0], a[1]); }
Ref get_fallback_body(const Args& a) { return get_fallback(a[0]); }

constexpr Param init_params[] = {
    py::self_param,
    {"config", Type::any, py::defaults::none},
    {"secrets", Type::any, py::defaults::none},
};
constexpr Param self_only[] = {py::self_param};
constexpr Param config_params[] = {py::self_param, {"config", Type::any, {}, false, "ModelRoutingConfig"}};
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
constexpr Param spec_params[] = {py::self_param, {"spec", Type::any, {}, false, "ModelSpec"}};
constexpr Param complexity_params[] = {py::self_param, {"complexity", Type::any, {}, false, "Complexity"}};

using py::FunctionDef;
using py::Result;

constexpr FunctionDef config_def{"config", self_only,   msg::config_property_doc, config_body,
                                 nullptr,  Result::any, "ModelRoutingConfig"};
constexpr FunctionDef update_config_def{
    "update_config", config_params, msg::update_config_doc, update_config_body, nullptr, Result::any, "None"};
constexpr FunctionDef get_model_def{"get_model", model_key_params, msg::get_model_doc, get_model_body,
                                    nullptr,     Result::any,      "ModelSpec | None"};
constexpr FunctionDef select_for_worker_def{
    "select_for_worker", worker_params, msg::select_for_worker_doc, select_for_worker_body, nullptr,
    Result::any,         "ModelSpec"};
constexpr FunctionDef select_for_scheduler_def{"select_for_scheduler",
                                               scheduler_params,
                                               msg::select_for_scheduler_doc,
                                               select_for_scheduler_body,
                                               nullptr,
                                               Result::any,
                                               "ModelSpec"};
constexpr FunctionDef get_available_models_def{"get_available_models",    self_only, msg::get_available_models_doc,
                                               get_available_models_body, nullptr,   Result::list,
                                               "list[dict[str, Any]]"};
constexpr FunctionDef record_usage_def{
    "record_usage", record_usage_params, msg::record_usage_doc, record_usage_body, nullptr, Result::any, "None"};
constexpr FunctionDef get_usage_stats_def{"get_usage_stats",          self_only, msg::get_usage_stats_doc,
                                          get_usage_stats_body,       nullptr,   Result::dict,
                                          "dict[str, dict[str, int]]"};
constexpr FunctionDef litellm_def{
    "get_litellm_model_string", spec_params, msg::litellm_doc, litellm_body, nullptr, Result::str};
constexpr FunctionDef is_available_def{"_is_available", spec_params, msg::is_available_doc, is_available_body, nullptr,
                                       Result::any,     "bool"};
constexpr FunctionDef select_for_complexity_def{"_select_for_complexity",
                                                complexity_params,
                                                msg::select_for_complexity_doc,
                                                select_for_complexity_body,
                                                nullptr,
                                                Result::any,
                                                "ModelSpec"};
constexpr FunctionDef get_fallback_def{"_get_fallback", self_only,  msg::get_fallback_doc, get_fallback_body, nullptr,
                                       Result::any,     "ModelSpec"};

// After `config`, in the order of the class body.
const FunctionDef* const methods[] = {
    &update_config_def,        &get_model_def,
    &select_for_worker_def,    &select_for_scheduler_def,
    &get_available_models_def, &record_usage_def,
    &get_usage_stats_def,      &litellm_def,
    &is_available_def,         &select_for_complexity_def,
    &get_fallback_def,
};

constexpr py::FunctionDef init_def{"__init__", init_params, nullptr, init, nullptr, py::Result::any, "None"};
constexpr py::ClassDef router_class{"TierChooser", msg::router_doc, init_def, {}};

void fill_cache() {
    const Names& n = names();
    const Module& g = mod();
    Cache& c = cache.emplace();
    c.zero = py::steal_or_throw(PyLong_FromLong(0));
    c.one = py::steal_or_throw(PyLong_FromLong(1));
    c.tier_index = py::steal_or_throw(PyDict_New());
    long index = 0;
    for (const Ref* tier : {&g.complex_, &g.moderate, &g.simple})
        py::check(PyDict_SetItem(c.tier_index.get(), tier->get(), py::steal_or_throw(PyLong_FromLong(index++)).get()));
    static constexpr Record::Field fields[] = {&Names::_config, &Names::_secrets, &Names::_usage_stats};
    router_fields.emplace(fields);
    c.usage_template = py::steal_or_throw(PyDict_New());
    for (PyObject* key : {n.calls, n.tokens}) py::check(PyDict_SetItem(c.usage_template.get(), key, c.zero.get()));
}

}  // namespace

Ref make_router_type() {
    fill_cache();
    Ref type = py::make_class(module_name, router_class);
    auto* as_type = reinterpret_cast<PyTypeObject*>(type.get());
    Ref getter = py::make_function(config_def, module_name, router_class.name);
    py::set_function_owner(getter, as_type);
    Ref property = py::call(reinterpret_cast<PyObject*>(&PyProperty_Type), getter);
    py::setattr(type, names().config, property);
    py::install_methods(type, module_name, methods);
    const Names& n = names();
    Cache& c = *cache;
    c.own_get_model.function = py::getattr(type, n.get_model);
    c.own_is_available.function = py::getattr(type, n._is_available);
    c.own_select_for_complexity.function = py::getattr(type, n._select_for_complexity);
    c.own_get_fallback.function = py::getattr(type, n._get_fallback);
    return type;
}

}  // namespace zorvik::core
