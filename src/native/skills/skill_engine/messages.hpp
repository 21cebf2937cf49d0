// The skill engine's own texts: log lines, error texts and the fixed texts
// several areas share, each written once. Docstrings live with their functions.
#pragma once

namespace zorvik::skills::msg {

// ---- runner and results
inline constexpr const char* logger_name = "zorvik.skills.skill_engine";
inline constexpr const char* default_model = "gpt-4.1-mini";
inline constexpr const char* script_not_found = "Script not found: ";
inline constexpr const char* load_failed = "Failed to load module from ";
inline constexpr const char* no_run = "Skill must define 'async def run(ctx, params) -> dict'";
inline constexpr const char* run_not_async = "run() must be an async function (async def run(ctx, params))";
inline constexpr const char* starting = "Starting skill: ";
inline constexpr const char* fatal = "FATAL ERROR: ";
inline constexpr const char* skill_failed_prefix = "Python skill ";
inline constexpr const char* skill_failed_suffix = " failed:\n";
inline constexpr const char* module_prefix = "zorvik_skill_";

// ---- context core
inline constexpr const char* browser_closed = "Browser closed";
inline constexpr const char* invalid_skill_name =
    "invalid skill name %R: a skill name must not be empty, '.' or '..', or contain '/' or NUL";

// ---- browser
inline constexpr const char* browser_opened = "Browser opened";
inline constexpr const char* browser_open_failed = "Failed to open browser: ";
inline constexpr const char* navigated = "Navigated to ";
inline constexpr const char* clicked = "Clicked: ";
inline constexpr const char* typed = "Typed into: ";
inline constexpr const char* screenshot_saved = "Screenshot saved: ";
inline constexpr const char* uploaded = "Uploaded ";
inline constexpr const char* uploaded_to = " to ";
inline constexpr const char* session_saved = "Browser session saved";
inline constexpr const char* zorvik_dir = ".zorvik";
inline constexpr const char* import_name_missing = "cannot import name %R from %R (%S)";
inline constexpr const char* import_name_unknown = "cannot import name %R from %R (unknown location)";

// ---- LLM
inline constexpr const char* openai_missing = "openai package not installed. Run: pip install openai";
inline constexpr const char* llm_response = "LLM response: ";
inline constexpr const char* chars = " chars";  // also ends the shell's log line
inline constexpr const char* llm_failed = "LLM call failed: ";
inline constexpr const char* json_parse_failed = "Failed to parse LLM response as JSON: ";

// ---- files and documents
inline constexpr const char* wrote_file = "Wrote file: ";
inline constexpr const char* created_document = "Created document: ";

// ---- shell
inline constexpr const char* shell_log = "Shell: ";
inline constexpr const char* shell_arrow = "... \u2192 ";
inline constexpr const char* shell_timeout = "[TIMEOUT] Command timed out after ";
inline constexpr const char* seconds = "s";
inline constexpr const char* shell_error = "[ERROR] ";

// ---- persistent state

}  // namespace zorvik::skills::msg
