// ZorvikContext: the object handed to every skill's run(ctx, params).
//
// Its attributes live in the ordinary instance dict; its methods are native
// functions defined by the file of their area (browser.cpp, llm.cpp,
// files.cpp, shell.cpp, state.cpp) and listed here in the order of the class
// body.
#pragma once

#include "module.hpp"

namespace zorvik::skills {

extern const py::FunctionDef browser_open_def;
extern const py::FunctionDef browser_navigate_def;
extern const py::FunctionDef browser_click_def;
extern const py::FunctionDef browser_type_def;
extern const py::FunctionDef browser_evaluate_def;
extern const py::FunctionDef browser_get_text_def;
extern const py::FunctionDef browser_wait_def;
extern const py::FunctionDef browser_screenshot_def;
extern const py::FunctionDef browser_upload_def;
extern const py::FunctionDef browser_save_session_def;
extern const py::FunctionDef browser_close_def;
extern const py::FunctionDef llm_ask_def;
extern const py::FunctionDef llm_json_def;
extern const py::FunctionDef create_llm_client_def;
extern const py::FunctionDef write_file_def;
extern const py::FunctionDef read_file_def;
extern const py::FunctionDef create_document_def;
extern const py::FunctionDef shell_def;
extern const py::FunctionDef save_state_def;
extern const py::FunctionDef load_state_def;
extern const py::FunctionDef load_full_state_def;
extern const py::FunctionDef clear_state_def;
extern const py::FunctionDef log_def;
extern const py::FunctionDef get_logs_def;
extern const py::FunctionDef cleanup_def;

Ref make_context_type();

// Awaits `target.<method>()`, dropping an ordinary failure of the call;
// cancellation and other BaseExceptions pass.
py::Task<void> await_quietly(Borrowed target, PyObject* method);

// Refuses names that would lead the engine's paths outside its directories
// (empty, "." or "..", a path separator or NUL) with ValueError.
void check_skill_name(Borrowed name);

}  // namespace zorvik::skills
