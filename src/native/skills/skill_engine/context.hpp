// ZorvikContext: the object handed to every skill's run(ctx, params).
//
// Its attributes live in the ordinary instance dict; its methods are native
// functions, each defined by the file of its area, which lists them in the
// order of the class body. context.cpp puts the lists together.
#pragma once

#include "module.hpp"

#include <span>

namespace zorvik::skills {

using Methods = std::span<const py::FunctionDef* const>;

extern const Methods browser_methods;  // browser.cpp
extern const Methods llm_methods;      // llm.cpp
extern const Methods file_methods;     // files.cpp
extern const Methods shell_methods;    // shell.cpp
extern const Methods state_methods;    // state.cpp

// Whether `exc` is asyncio's CancelledError (as the module's asyncio is bound now).
bool is_cancellation(Borrowed exc);

// Awaits `starting`, a start of something that keeps running on its own once
// it is started (a process, a browser), and puts its result into `started`.
// The start runs shielded from cancellation: a cancellation arriving
// meanwhile lets it finish, still puts what it started into `started` for
// the caller to release, and is then raised. Should the caller leave before
// the start has finished (a further cancellation, a closing coroutine, which
// may not await), `release_late`, an async function of one argument, is run
// in a task of its own on what the start leaves once it finishes.
py::Task<void> await_start(Borrowed starting, py::Held& started, const py::FunctionDef& release_late);

// `from <module> import <name>`, with the import statement's error when the
// module lacks the name.
Ref import_from(const char* module, PyObject* name);

// Text files as open(path, mode, encoding="utf-8") reads and writes them,
// for files and state alike (files.cpp).
Ref open_text(Borrowed path, const char* mode);
Ref read_text(Borrowed path);
// Closing a file after a failure must not hide that failure.
void close_quietly(Borrowed file);

// Refuses names that would lead the engine's paths outside its directories
// (empty, "." or "..", a path separator or NUL) with ValueError.
void check_skill_name(Borrowed name);

}  // namespace zorvik::skills
