// Whether the module logger would drop a record, remembered between calls.
//
// The layer's gate reads the logger's attributes and its cache of answers
// at each call. Once it has answered "dropped", the module namespace (which
// holds the logger), the logger's instance dict and that cache are watched
// (watch.hpp), so the answer stands while none of them has changed, the
// logger keeps its class and the class keeps its version.
#pragma once

#include "py/logger.hpp"

namespace zorvik::core {

// True only when a record of `level` would certainly be dropped.
bool log_dropped(py::LogLevel level);

}  // namespace zorvik::core
