// Message templates of the layer, each written once.
#pragma once

namespace zorvik::py::msg {

inline constexpr const char* arg_type = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
inline constexpr const char* subclass_note = "Subclasses of '%s' are refused here: pass an exact '%s'.";
inline constexpr const char* arity = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr const char* unexpected_keyword = "%.200s() got an unexpected keyword argument '%U'";
inline constexpr const char* duplicate_keyword = "%.200s() got multiple values for keyword argument '%U'";
inline constexpr const char* keywords_not_str = "%.200s() keywords must be strings";
inline constexpr const char* result_type = "Expected %s, got %.200s";

inline constexpr const char* interpreter_change =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
inline constexpr const char* reinitialisation =
    "Module '%s' has already been imported. Re-initialisation is not supported.";

inline constexpr const char* coro_reuse = "cannot reuse already awaited coroutine";
inline constexpr const char* coro_running = "coroutine already executing";
inline constexpr const char* coro_ignored_exit = "coroutine ignored GeneratorExit";
inline constexpr const char* coro_never_awaited = "coroutine '%U' was never awaited";
inline constexpr const char* coro_non_none_start = "can't send non-None value to a just-started coroutine";
inline constexpr const char* coro_raised_stop = "coroutine raised StopIteration";
inline constexpr const char* not_awaitable = "'%.100s' object can't be awaited";
inline constexpr const char* await_not_iterator = "__await__() returned non-iterator of type '%.100s'";
inline constexpr const char* await_coroutine = "__await__() returned a coroutine";
inline constexpr const char* throw_type = "exceptions must be classes or instances deriving from BaseException, not %s";

}  // namespace zorvik::py::msg
