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

// Awaits `target.<method>()`, dropping an ordinary failure of the call;
// cancellation and other BaseExceptions pass.
py::Task<void> await_quietly(Borrowed target, PyObject* method);

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
