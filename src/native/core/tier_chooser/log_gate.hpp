// Transitional: the router calls its logger for every line.
#pragma once

namespace zorvik::py {
enum class LogLevel : int { info = 20, warning = 30, error = 40 };
}

namespace zorvik::core {
inline bool log_dropped(py::LogLevel) { return false; }
}  // namespace zorvik::core
