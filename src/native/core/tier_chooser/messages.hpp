// The tier chooser's own texts: log lines, catalogue descriptions and
// docstrings, each written once.
#pragma once

namespace zorvik::core::msg {

// ---- module and catalogue
inline constexpr const char* module_doc =
    "Model routing for workers and scheduled jobs.\n\n"
    "The Coordinator always runs on the model the user chose in the main settings;\n"
    "this module only chooses the models of the workers it starts and of scheduled jobs.\n";
inline constexpr const char* dict_changed_size = "dictionary changed size during iteration";
inline constexpr const char* dict_keys_changed = "dictionary keys changed during iteration";
inline constexpr const char* too_many_values = "too many values to unpack (expected 2, got %zd)";
inline constexpr const char* not_enough_values = "not enough values to unpack (expected 2, got %zd)";
inline constexpr const char* logger_name = "zorvik.tier_chooser";
inline constexpr const char* model_spec_doc = "Specification for a single model.";
inline constexpr const char* opus_description =
    "Most intelligent. Best for complex reasoning, architecture, deep analysis, long-form writing.";
inline constexpr const char* sonnet_description = "Balanced intelligence and speed. Good for most tasks.";
inline constexpr const char* haiku_description =
    "Fastest and cheapest. Great for summaries, lookups, classification, simple tasks.";
inline constexpr const char* gpt_description = "OpenAI's most capable model. Alternative for complex tasks.";

// ---- classification
inline constexpr const char* classify_doc =
    "Classify the complexity of a worker task based on its description.\n"
    "    \n"
    "    Used when the Coordinator passes \"auto\" as a worker's model_key.\n"
    "    ";

// ---- routing configuration
inline constexpr const char* config_doc =
    "User-configurable model routing preferences.\n"
    "    \n"
    "    The Coordinator's own model is set separately in the application's main\n"
    "    settings. This only carries the worker and scheduler defaults.\n"
    "    ";
inline constexpr const char* to_dict_doc = "Convert to a plain dict.";
inline constexpr const char* from_dict_doc = "Build a config from a plain dict; unknown keys are ignored.";
inline constexpr const char* default_enabled_doc = "The catalogue keys, all enabled.";

// ---- router
inline constexpr const char* router_doc =
    "Helps the Coordinator select models for workers and scheduled jobs.\n"
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
    "    ";
inline constexpr const char* config_property_doc = "The current routing configuration.";
inline constexpr const char* update_config_doc = "Replace the routing configuration.";
inline constexpr const char* get_model_doc = "Get a specific model by key. Returns None if not available.";
inline constexpr const char* select_for_worker_doc =
    "Select a model for a worker task.\n"
    "        \n"
    "        Args:\n"
    "            task_description: What the worker will do\n"
    "            model_key: The Coordinator's explicit choice. \"auto\" or None means\n"
    "                choose from the task's complexity; any other value means use\n"
    "                that specific model.\n"
    "        ";
inline constexpr const char* select_for_scheduler_doc = "Select a model for a scheduled job.";
inline constexpr const char* get_available_models_doc = "Return list of all models with their status and usage.";
inline constexpr const char* record_usage_doc = "Record usage statistics for a model.";
inline constexpr const char* get_usage_stats_doc = "Return the usage statistics of every model used so far.";
inline constexpr const char* litellm_doc = "Convert a ModelSpec to the litellm model string format.";
inline constexpr const char* is_available_doc = "Check if a model is available (API key exists + enabled).";
inline constexpr const char* select_for_complexity_doc = "Select the best available model for a given complexity tier.";
inline constexpr const char* get_fallback_doc = "Get any available model as a last resort.";

inline constexpr const char* worker_explicit = "Worker model (explicit): %U for '%U'";
inline constexpr const char* worker_unavailable = "Requested model '%U' not available, falling back to auto";
inline constexpr const char* worker_default = "Worker model (default): %U for '%U'";
inline constexpr const char* worker_auto = "Worker model (auto [%U]): %U for '%U'";

}  // namespace zorvik::core::msg
