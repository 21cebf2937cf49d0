// The pieces of a log line, shared by the context's log and the runner.
#pragma once

#include "module.hpp"

#include <initializer_list>

namespace zorvik::skills {

// The parts (str objects) joined into one new str, in one allocation.
Ref join(std::initializer_list<Borrowed> parts);

// "[14:03:07] ": the local time now, as time.strftime("%H:%M:%S") gives it.
Ref time_prefix();

// "[" and "] ", kept for the life of the process.
Borrowed bracket_open() noexcept;
Borrowed bracket_close() noexcept;

// Called once by the module body, before any of the above.
void init_log_lines();

}  // namespace zorvik::skills
