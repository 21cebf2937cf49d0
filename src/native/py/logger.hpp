// Whether a `logging.Logger` would drop a record, known without calling it.
//
// Building a log line and calling logger.info() costs more than the rest of
// many calls that log. For a logger as the logging package defines it (its
// class's `isEnabledFor` and the level methods untouched, none of them set on
// the instance) the answer is what isEnabledFor reads: the `disabled` flag
// and the logger's cache of answers per level, which the logging package
// clears whenever levels change. Anything less plain is left to the call.
#pragma once

#include "ref.hpp"

namespace zorvik::py {

enum class LogLevel : int { info = 20, warning = 30, error = 40 };

// Called once per module before logger_drops().
void init_logger_gate();

// True only when a record of `level` would certainly be dropped; false
// means "make the call".
bool logger_drops(Borrowed logger, LogLevel level);

}  // namespace zorvik::py
