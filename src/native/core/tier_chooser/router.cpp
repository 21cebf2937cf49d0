// TierChooser: picks the model of each worker and scheduled job from the
// explicit choice, the user's default or the task's complexity, and keeps
// per-model usage counts.
#include "messages.hpp"
#include "module.hpp"

namespace zorvik::core {

namespace {

using py::Param;
using py::Type;

constexpr Py_ssize_t excerpt_length = 50;

// The automatic choice's preference lists: for each tier, catalogue keys in
// order of preference, normally and when the user is cost-conscious.
using Keys = std::span<const py::Name* const>;
constexpr const py::Name* opus_first[] = {&id<"claude-opus">, &id<"claude-sonnet">, &id<"gpt-5.2">};
constexpr const py::Name* sonnet_first[] = {&id<"claude-sonnet">, &id<"claude-haiku">, &id<"gpt-5.2">};
constexpr const py::Name* haiku_first[] = {&id<"claude-haiku">, &id<"claude-sonnet">, &id<"gpt-5.2">};

struct Preference {
    const py::Name& tier;  // the Complexity member's name
    Keys normal;
    Keys cost_conscious;
};
constexpr Preference preferences[] = {
    {id<"COMPLEX">, opus_first, sonnet_first},
    {id<"MODERATE">, sonnet_first, haiku_first},
    {id<"SIMPLE">, haiku_first, haiku_first},
};

Ref models() { return global(id<"AVAILABLE_MODELS">); }

// self._config.<field>
Ref config_field(Borrowed self, PyObject* field) { return py::getattr(py::getattr(self, id<"_config">), field); }

// logger.<level>(line), the line a template filled with str values.
template <class... Values>
void log(PyObject* level, const char* line, const Values&... values) {
    Ref text = py::steal_or_throw(PyUnicode_FromFormat(line, Borrowed(values).get()...));
    py::call_method(global(id<"logger">), level, text);
}

// The first 50 characters of the task, as the log lines show it.
Ref excerpt(Borrowed text) { return py::steal_or_throw(PyUnicode_Substring(text.get(), 0, excerpt_length)); }

// format(spec.display_name)
Ref display_name(Borrowed spec) { return format(py::getattr(spec, id<"display_name">)); }

// ------------------------------------------------------------ construction

Ref init_body(const Args& a) {
    Borrowed self = a[0];
    py::setattr(self, id<"_config">, py::truth(a[1]) ? py::borrow(a[1]) : py::call(global(id<"ModelRoutingConfig">)));
    py::setattr(self, id<"_secrets">, py::truth(a[2]) ? py::borrow(a[2]) : py::call(global(id<"SecretsStore">)));
    py::setattr(self, id<"_usage_stats">, py::steal_or_throw(PyDict_New()));
    return py::none();
}
constexpr py::FunctionDef init_def{
    .name = "__init__", .body = init_body,
    .params = {py::self_param, {"config", Type::any, py::defaults::none}, {"secrets", Type::any, py::defaults::none}},
    .returns = "None"};

Ref config_body(const Args& a) { return py::getattr(a[0], id<"_config">); }

Ref update_config_body(const Args& a) {
    py::setattr(a[0], id<"_config">, a[1]);
    return py::none();
}
constexpr py::FunctionDef update_config_def{
    .name = "update_config", .body = update_config_body,
    .params = {py::self_param, {"config", Type::any, {}, false, "ModelRoutingConfig"}},
    .doc = "Replace the routing configuration.", .returns = "None"};
constexpr py::FunctionDef config_def{
    .name = "config", .body = config_body, .params = {py::self_param}, .doc = "The current routing configuration.",
    .returns = "ModelRoutingConfig"};

// ------------------------------------------------------------ selection

Ref get_model_body(const Args& a) {
    Borrowed self = a[0], key = a[1];
    if (!contains(models(), key)) return py::none();
    Ref spec = item(models(), key);
    return py::truth(py::call_method(self, id<"_is_available">, spec)) ? spec : py::none();
}
constexpr py::FunctionDef get_model_def{
    .name = "get_model", .body = get_model_body, .params = {py::self_param, {"model_key", Type::str}},
    .doc = "Get a specific model by key. Returns None if not available.", .returns = "ModelSpec | None"};

// `key and key != "auto"`
bool names_a_model(Borrowed key) { return py::truth(key) && compare(key, id<"auto">, Py_NE); }

// The three steps shared by workers and scheduled jobs: the explicit key, the
// user's default, the automatic choice. Only workers log.
Ref select(const Args& a, PyObject* default_field, bool logs) {
    Borrowed self = a[0], text = a[1], model_key = a[2];
    if (names_a_model(model_key)) {
        Ref spec = py::call_method(self, id<"get_model">, model_key);
        if (py::truth(spec)) {
            if (logs) log(id<"info">, msg::worker_explicit, display_name(spec), excerpt(text));
            return spec;
        }
        if (logs) log(id<"warning">, msg::worker_unavailable, model_key);
    }
    Ref default_key = config_field(self, default_field);
    if (names_a_model(default_key)) {
        Ref spec = py::call_method(self, id<"get_model">, default_key);
        if (py::truth(spec)) {
            if (logs) log(id<"info">, msg::worker_default, display_name(spec), excerpt(text));
            return spec;
        }
    }
    Ref complexity = py::call(global(id<"classify_complexity">), text);
    Ref spec = py::call_method(self, id<"_select_for_complexity">, complexity);
    if (logs) {
        Ref tier = format(py::getattr(complexity, id<"value">));
        log(id<"info">, msg::worker_auto, tier, display_name(spec), excerpt(text));
    }
    return spec;
}

Ref select_for_worker_body(const Args& a) { return select(a, id<"default_worker_model">, true); }
Ref select_for_scheduler_body(const Args& a) { return select(a, id<"default_scheduler_model">, false); }

// [<the keys>]
Ref key_list(Keys keys) {
    Ref list = py::steal_or_throw(PyList_New(std::ssize(keys)));
    for (Py_ssize_t i = 0; i < std::ssize(keys); ++i)
        PyList_SET_ITEM(list.get(), i, py::borrow(keys[i]->get()).release());
    return list;
}
constexpr py::FunctionDef select_for_scheduler_def{
    .name = "select_for_scheduler", .body = select_for_scheduler_body,
    .params = {py::self_param, {"job_description", Type::str}, {"model_key", Type::str, py::defaults::none, true}},
    .doc = "Select a model for a scheduled job.", .returns = "ModelSpec"};
constexpr py::FunctionDef select_for_worker_def{
    .name = "select_for_worker", .body = select_for_worker_body,
    .params = {py::self_param, {"task_description", Type::str}, {"model_key", Type::str, py::defaults::none, true}},
    .doc = "Select a model for a worker task.\n"
           "        \n"
           "        Args:\n"
           "            task_description: What the worker will do\n"
           "            model_key: The Coordinator's explicit choice. \"auto\" or None means\n"
           "                choose from the task's complexity; any other value means use\n"
           "                that specific model.\n"
           "        ",
    .returns = "ModelSpec"};

// preference_map = {Complexity.COMPLEX: [...], ...}, one of the two sets of lists
Ref preference_map(Keys Preference::*lists) {
    Ref map = py::steal_or_throw(PyDict_New());
    for (const Preference& p : preferences)
        py::check(
            PyDict_SetItem(map.get(), py::getattr(global(id<"Complexity">), p.tier).get(), key_list(p.*lists).get()));
    return map;
}

Ref select_for_complexity_body(const Args& a) {
    Borrowed self = a[0], complexity = a[1];
    Ref map = preference_map(&Preference::normal);
    if (py::truth(config_field(self, id<"cost_conscious">))) map = preference_map(&Preference::cost_conscious);
    static constexpr const py::Name* last_resort[] = {&id<"claude-sonnet">};
    Ref candidates = get(map, complexity, key_list(last_resort));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(candidates.get()); ++i) {
        Borrowed key = PyList_GET_ITEM(candidates.get(), i);
        if (!contains(models(), key) || !contains(config_field(self, id<"enabled_models">), key)) continue;
        Ref spec = item(models(), key);
        if (py::truth(py::call_method(self, id<"_is_available">, spec))) return spec;
    }
    return py::call_method(self, id<"_get_fallback">);
}
constexpr py::FunctionDef select_for_complexity_def{
    .name = "_select_for_complexity", .body = select_for_complexity_body,
    .params = {py::self_param, {"complexity", Type::any, {}, false, "Complexity"}},
    .doc = "Select the best available model for a given complexity tier.", .returns = "ModelSpec"};

Ref get_fallback_body(const Args& a) {
    Borrowed self = a[0];
    Ref found;
    any_of(config_field(self, id<"enabled_models">), [&](Borrowed key) {
        if (!contains(models(), key) || !py::truth(py::call_method(self, id<"_is_available">, item(models(), key))))
            return false;
        found = item(models(), key);
        return true;
    });
    return found ? found : item(models(), id<"claude-sonnet">);
}
constexpr py::FunctionDef get_fallback_def{
    .name = "_get_fallback", .body = get_fallback_body, .params = {py::self_param},
    .doc = "Get any available model as a last resort.", .returns = "ModelSpec"};

// (self, spec: ModelSpec), for the two methods that take a model.
constexpr std::initializer_list<Param> spec_params = {py::self_param, {"spec", Type::any, {}, false, "ModelSpec"}};

Ref is_available_body(const Args& a) {
    Borrowed self = a[0], spec = a[1];
    Ref wanted = py::getattr(spec, id<"id">);
    Ref key = py::none();
    for_each_item(models(), [&](Borrowed k, Borrowed model) {
        if (!compare(py::getattr(model, id<"id">), wanted, Py_EQ)) return false;
        key = py::borrow(k);
        return true;
    });
    if (!key.is_none() && !contains(config_field(self, id<"enabled_models">), key)) return py::boolean(false);
    Ref secrets = py::getattr(self, id<"_secrets">);
    return py::call_method(secrets, id<"has_key">, py::getattr(spec, id<"provider">));
}
constexpr py::FunctionDef is_available_def{
    .name = "_is_available", .body = is_available_body, .params = spec_params,
    .doc = "Check if a model is available (API key exists + enabled).", .returns = "bool"};

// ------------------------------------------------------------ listing and usage

// self._usage_stats.get(key, {}).get(counter, 0)
Ref usage_count(Borrowed self, Borrowed key, PyObject* counter) {
    Ref per_model = get(py::getattr(self, id<"_usage_stats">), key, py::steal_or_throw(PyDict_New()));
    return get(per_model, counter, py::steal_or_throw(PyLong_FromLong(0)));
}

Ref get_available_models_body(const Args& a) {
    Borrowed self = a[0];
    Ref listing = py::steal_or_throw(PyList_New(0));
    for_each_item(models(), [&](Borrowed key, Borrowed spec) {
        Ref entry = py::steal_or_throw(PyDict_New());
        auto put = [&](PyObject* name, const Ref& value) { py::check(PyDict_SetItem(entry.get(), name, value.get())); };
        put(id<"key">, py::borrow(key));
        for (PyObject* field :
             {id<"id">.get(), id<"provider">.get(), id<"display_name">.get(), id<"description">.get()})
            put(field, py::getattr(spec, field));
        put(id<"complexity_tier">, py::getattr(py::getattr(spec, id<"complexity_tier">), id<"value">));
        put(id<"enabled">, py::boolean(contains(config_field(self, id<"enabled_models">), key)));
        put(id<"available">, py::call_method(self, id<"_is_available">, spec));
        for (PyObject* field : {id<"cost_per_1k_input">.get(), id<"cost_per_1k_output">.get()})
            put(field, py::getattr(spec, field));
        for (PyObject* counter : {id<"calls">.get(), id<"tokens">.get()}) put(counter, usage_count(self, key, counter));
        py::check(PyList_Append(listing.get(), entry.get()));
        return false;
    });
    return listing;
}
constexpr py::FunctionDef get_available_models_def{
    .name = "get_available_models", .body = get_available_models_body, .params = {py::self_param},
    .doc = "Return list of all models with their status and usage.", .returns = "list[dict[str, Any]]"};

// self._usage_stats[key][counter] += amount
void add_usage(Borrowed self, Borrowed key, PyObject* counter, Borrowed amount) {
    Ref per_model = item(py::getattr(self, id<"_usage_stats">), key);
    Ref sum = py::steal_or_throw(PyNumber_InPlaceAdd(item(per_model, counter).get(), amount.get()));
    py::check(PyObject_SetItem(per_model.get(), counter, sum.get()));
}

Ref record_usage_body(const Args& a) {
    Borrowed self = a[0], key = a[1];
    if (!contains(py::getattr(self, id<"_usage_stats">), key)) {
        Ref counters = py::steal_or_throw(PyDict_New());
        Ref zero = py::steal_or_throw(PyLong_FromLong(0));
        for (PyObject* counter : {id<"calls">.get(), id<"tokens">.get()})
            py::check(PyDict_SetItem(counters.get(), counter, zero.get()));
        py::check(PyObject_SetItem(py::getattr(self, id<"_usage_stats">).get(), key.get(), counters.get()));
    }
    add_usage(self, key, id<"calls">, py::steal_or_throw(PyLong_FromLong(1)));
    add_usage(self, key, id<"tokens">, a[2]);
    return py::none();
}
constexpr py::FunctionDef record_usage_def{
    .name = "record_usage", .body = record_usage_body,
    .params = {py::self_param, {"model_key", Type::str}, {"tokens", Type::int_, py::defaults::integer(0)}},
    .doc = "Record usage statistics for a model.", .returns = "None"};

Ref get_usage_stats_body(const Args& a) {
    return py::call(reinterpret_cast<PyObject*>(&PyDict_Type), py::getattr(a[0], id<"_usage_stats">));
}
constexpr py::FunctionDef get_usage_stats_def{
    .name = "get_usage_stats", .body = get_usage_stats_body, .params = {py::self_param},
    .doc = "Return the usage statistics of every model used so far.", .returns = "dict[str, dict[str, int]]"};

// prefix + format(spec.id)
Ref prefixed(PyObject* prefix, Borrowed spec) {
    return py::steal_or_throw(PyUnicode_Concat(prefix, format(py::getattr(spec, id<"id">)).get()));
}

Ref litellm_body(const Args& a) {
    Borrowed spec = a[1];
    if (compare(py::getattr(spec, id<"provider">), id<"anthropic">, Py_EQ)) return prefixed(id<"anthropic/">, spec);
    if (compare(py::getattr(spec, id<"provider">), id<"openai">, Py_EQ)) return prefixed(id<"openai/">, spec);
    return py::getattr(spec, id<"id">);
}
constexpr py::FunctionDef litellm_def{
    .name = "get_litellm_model_string", .body = litellm_body, .params = spec_params,
    .doc = "Convert a ModelSpec to the litellm model string format.", .returns = "str"};

// After `config`, in the order of the class body.
constexpr const py::FunctionDef* methods[] = {
    &update_config_def,        &get_model_def,    &select_for_worker_def, &select_for_scheduler_def,
    &get_available_models_def, &record_usage_def, &get_usage_stats_def,   &litellm_def,
    &is_available_def,         &select_for_complexity_def, &get_fallback_def};

constexpr py::ClassDef router_class{
    .name = "TierChooser",
    .doc = "Helps the Coordinator select models for workers and scheduled jobs.\n"
           "    \n"
           "    The Coordinator (main agent) always uses the user's chosen model.\n"
           "    This router is only used for worker model selection.\n"
           "    \n"
           "    Usage:\n"
           "        router = TierChooser(config, secrets)\n"
           "        \n"
           "        # Coordinator picks a model explicitly\n"
           "        spec = router.get_model(\"claude-haiku\")\n"
           "        \n"
           "        # Coordinator says \"auto\": Sonnet or Opus for demanding tasks,\n"
           "        # Haiku for simple ones\n"
           "        spec = router.select_for_worker(task_description)\n"
           "    ",
    .init = init_def};

}  // namespace

Ref make_router_type() {
    Ref type = py::make_class(module_name, router_class);
    Ref getter = py::make_function(config_def, module_name, router_class.name);
    py::set_function_owner(getter, reinterpret_cast<PyTypeObject*>(type.get()));
    py::setattr(type, id<"config">, py::call(reinterpret_cast<PyObject*>(&PyProperty_Type), getter));
    py::install_methods(type, module_name, methods);
    return type;
}

}  // namespace zorvik::core
