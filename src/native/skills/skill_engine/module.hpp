// Process-wide state of the skill engine, filled once by the module body.
#pragma once

#include "names.hpp"
#include "py/call.hpp"
#include "py/types.hpp"

namespace zorvik::skills {

using py::Args;
using py::Borrowed;
using py::Ref;

inline constexpr const char* module_name = "zorvik.skills.skill_engine";

struct Module {
    Ref module;   // the module object
    Ref globals;  // its namespace: names a host may rebind are read here at each use
    Ref context_type;
    Ref result_type;
    Ref runner_type;
};

// Valid once the module body has run.
Module& mod() noexcept;

// A module-level name (logger, OUTPUT_DIR, asyncio, ...) as bound right now;
// NameError if the host deleted it.
Ref module_global(PyObject* name);

// One log entry through the instance's `log` method, so a subclass that
// overrides it is honoured.
void log(Borrowed ctx, Borrowed message);

}  // namespace zorvik::skills
