// The tier chooser's own texts: its logger's name, log lines and error
// texts, each written once. Docstrings live with their functions.
#pragma once

namespace zorvik::core::msg {

inline constexpr const char* logger_name = "zorvik.tier_chooser";
inline constexpr const char* dict_changed_size = "dictionary changed size during iteration";
inline constexpr const char* dict_keys_changed = "dictionary keys changed during iteration";
inline constexpr const char* too_many_values = "too many values to unpack (expected 2, got %zd)";
inline constexpr const char* not_enough_values = "not enough values to unpack (expected 2, got %zd)";

// ---- router
inline constexpr const char* worker_explicit = "Worker model (explicit): %U for '%U'";
inline constexpr const char* worker_unavailable = "Requested model '%U' not available, falling back to auto";
inline constexpr const char* worker_default = "Worker model (default): %U for '%U'";
inline constexpr const char* worker_auto = "Worker model (auto [%U]): %U for '%U'";

}  // namespace zorvik::core::msg
