// What every area of the skill engine shares: the module's namespace, read
// at each use, and the classes the module body makes.
#pragma once

#include "py/call.hpp"
#include "py/names.hpp"
#include "py/task.hpp"
#include "py/types.hpp"

namespace zorvik::skills {

using py::Args;
using py::Borrowed;
using py::id;
using py::Ref;

inline constexpr const char* module_name = "zorvik.skills.skill_engine";

// A module-level name (logger, OUTPUT_DIR, asyncio, ...) as bound right now,
// so a host that rebinds one is heard; NameError if the host deleted it.
Ref module_global(PyObject* name);

// `<module>.<name>` for a module-level module name (time, json, ...), read
// as the module's own code would read it at this moment.
Ref global_attr(PyObject* module, PyObject* name);

// A builtin (open, round) as the interpreter holds it now.
Ref builtin(PyObject* name);

// One log entry through the instance's `log` method, so a subclass that
// overrides it is honoured.
void log(Borrowed ctx, Borrowed message);

// prefix + text, for the many log lines of that shape.
Ref prefixed(const char* prefix, Borrowed text);

Ref make_context_type();
Ref make_result_type();
Ref make_runner_type();

}  // namespace zorvik::skills
