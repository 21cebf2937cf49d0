// The skill engine's own texts: log lines, error texts and docstrings, each
// written once.
#pragma once

namespace zorvik::skills::msg {

// ---- runner and results
inline constexpr const char* module_doc =
    "Python skill engine: loads and runs script skills.\n\n"
    "Every Python skill must define:\n\n"
    "    async def run(ctx: ZorvikContext, params: dict) -> dict\n";
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
inline constexpr const char* result_doc = "Result of a Python skill execution.";
inline constexpr const char* to_dict_doc = "Return the result as a plain dict.";
inline constexpr const char* runner_doc = "Loads and executes Python-based skills.";
inline constexpr const char* run_doc =
    "Execute a Python skill.\n"
    "        \n"
    "        Args:\n"
    "            skill_name: Name of the skill\n"
    "            params: Parameters passed to the skill's run() function\n"
    "            script_path: Path to the .py file (if None, looks in SKILLS_DIR)\n"
    "        ";

// ---- context core
inline constexpr const char* context_doc =
    "Everything a Python skill needs to interact with the world.\n"
    "    \n"
    "    This is the single object passed to every skill's run() function.\n"
    "    It provides a clean, high-level API so skills don't need to know\n"
    "    about the application's internals.\n"
    "    ";
inline constexpr const char* log_doc = "Log a message (visible in skill execution results).";
inline constexpr const char* get_logs_doc = "Get all log entries.";
inline constexpr const char* cleanup_doc = "Clean up resources (called automatically after skill execution).";
inline constexpr const char* browser_close_doc = "Close the browser.";
inline constexpr const char* browser_closed = "Browser closed";
inline constexpr const char* invalid_skill_name =
    "invalid skill name %R: a skill name must not be empty, '.' or '..', or contain '/' or NUL";

// ---- browser
inline constexpr const char* browser_open_doc =
    "Open a browser and return the Playwright page object.\n"
    "        \n"
    "        Returns the raw Playwright Page for full flexibility.\n"
    "        The browser is headless by default.\n"
    "        ";
inline constexpr const char* browser_navigate_doc = "Navigate to a URL.";
inline constexpr const char* browser_click_doc = "Click an element by CSS selector.";
inline constexpr const char* browser_type_doc = "Type text into an element.";
inline constexpr const char* browser_evaluate_doc = "Execute JavaScript in the browser and return the result.";
inline constexpr const char* browser_get_text_doc = "Get all visible text from the current page.";
inline constexpr const char* browser_wait_doc = "Wait for an element to appear.";
inline constexpr const char* browser_screenshot_doc = "Take a screenshot and save it. Returns the file path.";
inline constexpr const char* browser_upload_doc = "Upload a file to a file input element.";
inline constexpr const char* browser_save_session_doc =
    "Save the current browser session (cookies, storage) for reuse.";
inline constexpr const char* browser_opened = "Browser opened";
inline constexpr const char* browser_open_failed = "Failed to open browser: ";
inline constexpr const char* navigated = "Navigated to ";
inline constexpr const char* clicked = "Clicked: ";
inline constexpr const char* typed = "Typed into: ";
inline constexpr const char* screenshot_saved = "Screenshot saved: ";
inline constexpr const char* uploaded = "Uploaded ";
inline constexpr const char* uploaded_to = " to ";
inline constexpr const char* session_saved = "Browser session saved";
inline constexpr const char* inner_text_js = "() => document.body.innerText";
inline constexpr const char* session_dir = "browser_session";
inline constexpr const char* session_file = "state.json";
inline constexpr const char* zorvik_dir = ".zorvik";
inline constexpr const char* playwright_module = "playwright.async_api";
inline constexpr const char* no_sandbox = "--no-sandbox";
inline constexpr const char* no_dev_shm = "--disable-dev-shm-usage";
inline constexpr const char* default_wait_until = "domcontentloaded";
inline constexpr const char* default_screenshot = "screenshot";
inline constexpr const char* screenshot_suffix = ".png";
inline constexpr long navigation_timeout_ms = 30000;
inline constexpr const char* import_name_missing = "cannot import name %R from %R (%S)";
inline constexpr const char* import_name_unknown = "cannot import name %R from %R (unknown location)";

// ---- LLM
inline constexpr const char* llm_ask_doc =
    "Ask the LLM a question and get a text response.\n"
    "        \n"
    "        Args:\n"
    "            prompt: The user message / question\n"
    "            system: Optional system prompt for context\n"
    "            \n"
    "        Returns:\n"
    "            The LLM's text response\n"
    "        ";
inline constexpr const char* llm_json_doc =
    "Ask the LLM and parse the response as JSON.\n"
    "        \n"
    "        The prompt should instruct the LLM to respond in JSON format.\n"
    "        ";
inline constexpr const char* create_llm_client_doc = "Create an OpenAI-compatible LLM client.";
inline constexpr const char* openai_missing = "openai package not installed. Run: pip install openai";
inline constexpr const char* llm_response = "LLM response: ";
inline constexpr const char* chars = " chars";  // also ends the shell's log line
inline constexpr const char* llm_failed = "LLM call failed: ";
inline constexpr const char* json_parse_failed = "Failed to parse LLM response as JSON: ";

// ---- files and documents
inline constexpr const char* write_file_doc =
    "Write content to a file. Creates directories if needed.\n"
    "        \n"
    "        If path is relative, it's relative to the skill's output directory.\n"
    "        Returns the absolute path.\n"
    "        ";
inline constexpr const char* read_file_doc = "Read a file and return its content.";
inline constexpr const char* create_document_doc =
    "Create a document file (txt, md, or docx).\n"
    "        \n"
    "        Returns the file path.\n"
    "        ";
inline constexpr const char* wrote_file = "Wrote file: ";
inline constexpr const char* created_document = "Created document: ";

// ---- shell
inline constexpr const char* shell_doc = "Run a shell command and return the output.";
inline constexpr const char* shell_log = "Shell: ";
inline constexpr const char* shell_arrow = "... \u2192 ";
inline constexpr const char* shell_timeout = "[TIMEOUT] Command timed out after ";
inline constexpr const char* seconds = "s";
inline constexpr const char* shell_error = "[ERROR] ";

// ---- persistent state
inline constexpr const char* save_state_doc =
    "Save a value to persistent state (survives restarts).\n"
    "        \n"
    "        State is stored per-skill in ~/.zorvik/skill_state/{skill_name}.json\n"
    "        ";
inline constexpr const char* load_state_doc = "Load a value from persistent state.";
inline constexpr const char* load_full_state_doc = nullptr;
inline constexpr const char* clear_state_doc = "Clear all persistent state for this skill.";

}  // namespace zorvik::skills::msg
