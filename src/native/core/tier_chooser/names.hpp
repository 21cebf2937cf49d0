// Every Python-visible name the tier chooser looks up, sets, passes as a
// keyword or uses as a dictionary key, interned once when the module body
// runs.
#pragma once

#include "py/legacy_names.hpp"
#include "py/names.hpp"

namespace zorvik::core {

// X(member, "text"), grouped by what they name; alphabetical within a group.
#define TIER_CHOOSER_NAMES(X)                             \
    /* module namespace */                                \
    X(AVAILABLE_MODELS, "AVAILABLE_MODELS")               \
    X(ModelRoutingConfig, "ModelRoutingConfig")           \
    X(SecretsStore, "SecretsStore")                       \
    X(_COMPLEX_PATTERNS, "_COMPLEX_PATTERNS")             \
    X(_SIMPLE_PATTERNS, "_SIMPLE_PATTERNS")               \
    X(classify_complexity, "classify_complexity")         \
    X(logger, "logger")                                   \
    /* catalogue keys and provider names */               \
    X(anthropic, "anthropic")                             \
    X(auto_, "auto")                                      \
    X(claude_haiku, "claude-haiku")                       \
    X(claude_opus, "claude-opus")                         \
    X(claude_sonnet, "claude-sonnet")                     \
    X(gpt_5_2, "gpt-5.2")                                 \
    X(openai, "openai")                                   \
    /* model spec fields */                               \
    X(complexity_tier, "complexity_tier")                 \
    X(cost_per_1k_input, "cost_per_1k_input")             \
    X(cost_per_1k_output, "cost_per_1k_output")           \
    X(description, "description")                         \
    X(display_name, "display_name")                       \
    X(id, "id")                                           \
    X(max_tokens, "max_tokens")                           \
    X(provider, "provider")                               \
    X(supports_tools, "supports_tools")                   \
    X(supports_vision, "supports_vision")                 \
    /* routing configuration fields */                    \
    X(cost_conscious, "cost_conscious")                   \
    X(default_scheduler_model, "default_scheduler_model") \
    X(default_worker_model, "default_worker_model")       \
    X(enabled_models, "enabled_models")                   \
    /* router attributes and methods */                   \
    X(_config, "_config")                                 \
    X(config, "config")                                   \
    X(_get_fallback, "_get_fallback")                     \
    X(_is_available, "_is_available")                     \
    X(_secrets, "_secrets")                               \
    X(_select_for_complexity, "_select_for_complexity")   \
    X(_usage_stats, "_usage_stats")                       \
    X(get_model, "get_model")                             \
    X(has_key, "has_key")                                 \
    /* model listing and usage keys */                    \
    X(available, "available")                             \
    X(calls, "calls")                                     \
    X(enabled, "enabled")                                 \
    X(key, "key")                                         \
    X(tokens, "tokens")                                   \
    /* standard library */                                \
    X(__dataclass_fields__, "__dataclass_fields__")       \
    X(__init__, "__init__")                               \
    X(_cache, "_cache")                                   \
    X(compile, "compile")                                 \
    X(info, "info")                                       \
    X(items, "items")                                     \
    X(lower, "lower")                                     \
    X(search, "search")                                   \
    X(value, "value")                                     \
    X(warning, "warning")

ZORVIK_DECLARE_NAMES(TIER_CHOOSER_NAMES)

}  // namespace zorvik::core
