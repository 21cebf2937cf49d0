"""Python skill engine: loads and runs script skills.

Every Python skill must define:

    async def run(ctx: ZorvikContext, params: dict) -> dict

Places, all below the home directory (``Path.home()``):

- ``~/.zorvik/skills/<name>.py``: where a skill is looked up by name (``SKILLS_DIR``).
- ``~/.zorvik/skill_output/<name>/``: the skill's output directory, created for every run;
  relative paths of ``write_file`` and ``read_file``, documents and screenshots go
  here, and a run's ``output_files`` lists its files (``OUTPUT_DIR``).
- ``~/.zorvik/skill_state/<name>.json``: the skill's persistent state (``STATE_DIR``).
- ``~/.zorvik/browser_session/state.json``: the saved browser session (cookies, local
  storage), shared by all skills of the user.
"""

import logging
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

logger: logging.Logger
"""The logger "zorvik.skills.skill_engine": INFO "[skill] message" per log entry, ERROR with the traceback per failed run."""
STATE_DIR: Path
"""``~/.zorvik/skill_state``: one JSON state file per skill. Computed from the home directory at import."""
SKILLS_DIR: Path
"""``~/.zorvik/skills``: where ``PythonSkillRunner.run`` looks a skill up by name. Never created by the engine."""
OUTPUT_DIR: Path
"""``~/.zorvik/skill_output``: the parent of every skill's output directory."""

@dataclass
class PythonSkillResult:
    """Result of a Python skill execution."""

    success: bool
    """The skill's ``"success"`` (True when its dict has none); False for every failure."""
    skill_name: str
    result: Any = None
    """The dict the skill returned; any other value ``v`` as ``{"result": str(v)}``; None on failure."""
    error: str | None = None
    """``"ExceptionClass: text"`` when the skill raised, or the engine's text when it could not start it."""
    logs: list[str] = field(default_factory=list[str])
    """The run's log entries, each ``"[HH:MM:SS] message"``."""
    duration: float = 0.0
    """Seconds from the start of the run to the result."""
    output_files: list[str] = field(default_factory=list[str])
    """Paths of the files in the skill's output directory, including those left by earlier runs."""
    def to_dict(self) -> dict[str, Any]:
        """Return the result as a plain dict.

        Keys: success, skill_name, result, error, logs, duration_seconds (``duration``
        rounded to 2 places), output_files.
        """

class ZorvikContext:
    """Everything a Python skill needs to interact with the world.

    This is the single object passed to every skill's run() function. It
    provides a clean, high-level API so skills don't need to know about the
    application's internals.

    Browser time-outs are in milliseconds, the shell's in seconds. Browser,
    LLM, shell and clean-up methods are coroutines and must be awaited; files,
    state and the log are plain calls. An argument of the wrong type (``None``
    for a ``str``, text for a number) raises ``TypeError`` at the call.
    """

    skill_name: str
    _llm: Any
    _llm_model: str
    # Playwright's driver, Browser, BrowserContext and Page; None while closed.
    _browser_instance: Any
    _browser_context: Any
    _page: Any
    _playwright: Any
    _logs: list[str]
    _state_file: Path
    _output_dir: Path
    def __init__(self, skill_name: str, llm_client: Any = None, llm_model: str = "gpt-4.1-mini") -> None:
        """Create the context of one run; creates ``STATE_DIR`` and the skill's output directory.

        ``llm_client``: an object with the ``openai`` client's ``chat.completions.create``;
        made on first use when None. Raises ``ValueError`` for a skill name that is empty,
        ``.`` or ``..`` or contains ``/``, and ``OSError`` when a directory cannot be created.
        """
    async def browser_open(self) -> Any:
        """Open a browser and return the Playwright page object.

        Returns the raw Playwright Page for full flexibility.
        The browser is headless by default.

        The first call starts Playwright and Chromium, loading the saved session from
        ``~/.zorvik/browser_session/state.json`` when it exists; later calls return the
        same page. Raises whatever keeps the browser from opening (``ImportError``
        without Playwright, Playwright's ``Error`` without Chromium), after logging
        "Failed to open browser: ..."; every other browser method raises it too.
        """
    async def browser_navigate(self, url: str, wait_until: str = "domcontentloaded") -> None:
        """Navigate to a URL.

        Waits up to 30000 ms for ``wait_until`` ("load", "domcontentloaded",
        "networkidle" or "commit"), then pauses 1 second. Raises Playwright's
        ``TimeoutError`` after 30000 ms and its ``Error`` when the page cannot be loaded.
        """
    async def browser_click(self, selector: str, timeout: float = 5000.0) -> None:
        """Click an element by CSS selector.

        ``timeout`` in milliseconds; Playwright's ``TimeoutError`` when no clickable
        element matches in that time.
        """
    async def browser_type(self, selector: str, text: str, timeout: float = 5000.0) -> None:
        """Type text into an element.

        Fills the field (replacing its value); the text is never logged. ``timeout``
        in milliseconds; Playwright's ``TimeoutError`` when no editable element matches.
        """
    async def browser_evaluate(self, js: str) -> Any:
        """Execute JavaScript in the browser and return the result.

        ``js`` is an expression or a function such as ``"() => document.title"``; the
        result comes back as JSON-like values. Playwright's ``Error`` when the script throws.
        """
    async def browser_get_text(self) -> str:
        """Get all visible text from the current page (``document.body.innerText``)."""
    async def browser_wait(self, selector: str, timeout: float = 10000.0) -> None:
        """Wait for an element to appear.

        ``timeout`` in milliseconds; Playwright's ``TimeoutError`` when it does not appear.
        """
    async def browser_screenshot(self, name: str = "screenshot") -> str:
        """Take a screenshot and save it. Returns the file path.

        The file is ``<name>.png`` in the skill's output directory (".png" is always
        added); an earlier file of that name is replaced.
        """
    async def browser_upload(self, selector: str, file_path: str) -> None:
        """Upload a file to a file input element.

        ``file_path`` is used as given (relative to the current directory, not to the
        output directory); a missing file raises.
        """
    async def browser_save_session(self) -> None:
        """Save the current browser session (cookies, storage) for reuse.

        Writes ``~/.zorvik/browser_session/state.json``, which every later opening of a
        browser loads, for any skill. Does nothing while no browser is open.
        """
    async def browser_close(self) -> None:
        """Close the browser.

        Also done at the end of every run. Never raises; does not save the session.
        """
    async def llm_ask(self, prompt: str, system: str = "") -> str:
        """Ask the LLM a question and get a text response.

        Args:
            prompt: The user message / question
            system: Optional system prompt for context

        Returns:
            The LLM's text response

        The client is made on first use with ``openai.AsyncOpenAI()`` (key and endpoint
        from ``OPENAI_API_KEY``/``OPENAI_BASE_URL``); up to 4096 tokens. Raises
        ``RuntimeError`` when the openai package is missing, and the client's exception
        (logged as "LLM call failed: ...") when the request fails.
        """
    async def llm_json(self, prompt: str, system: str = "") -> dict[str, Any] | None:
        """Ask the LLM and parse the response as JSON.

        The prompt should instruct the LLM to respond in JSON format.

        A reply inside a ```json (or plain ```) fence is unwrapped first. A reply that
        is not JSON gives ``{"raw_response": reply, "parse_error": True}``; ``null`` gives
        None; JSON that is not an object raises ``TypeError``. Raises as ``llm_ask``.
        """
    def _create_llm_client(self) -> Any: ...
    def write_file(self, path: str, content: str) -> str:
        """Write content to a file. Creates directories if needed.

        If path is relative, it's relative to the skill's output directory.
        Returns the absolute path.

        UTF-8; replaces an existing file. Raises ``OSError`` when it cannot be written.
        """
    def read_file(self, path: str) -> str:
        """Read a file and return its content.

        Relative paths are read from the skill's output directory; UTF-8. Raises
        ``OSError`` (``FileNotFoundError``) and ``UnicodeDecodeError``.
        """
    def create_document(self, title: str, content: str, format: str = "txt", filename: str = "") -> str:
        """Create a document file (txt, md, or docx).

        Returns the file path.

        The file goes into the output directory, named after the title (characters
        other than letters, digits, space, "-" and "_" become "_") plus "." and
        ``format`` unless ``filename`` is given. For "docx" each blank-line-separated
        chunk of ``content`` becomes a paragraph; without python-docx a ".txt" file is
        written instead. Raises ``OSError`` when it cannot be written.
        """
    async def shell(self, command: str, timeout: float = 30.0) -> str:
        """Run a shell command and return the output.

        ``timeout`` in seconds. Returns standard output, then standard error after a
        line break, stripped of surrounding white space; the exit status is not
        reported. Never raises for the command: a time-out returns
        "[TIMEOUT] Command timed out after <timeout>s" (the command and what it started
        are killed), any other failure "[ERROR] <reason>".
        """
    def save_state(self, key: str, value: Any) -> None:
        """Save a value to persistent state (survives restarts).

        State is stored per-skill in ~/.zorvik/skill_state/{skill_name}.json

        Values go through JSON (tuples come back as lists; other values JSON cannot
        hold are stored as their ``str()``). Raises ``ValueError`` for a value that
        contains itself and ``OSError`` when the file cannot be written.
        """
    def load_state(self, key: str, default: Any = None) -> Any:
        """Load a value from persistent state.

        ``default`` when the key was never saved; a missing or damaged file reads as
        empty state.
        """
    def _load_full_state(self) -> dict[str, Any]: ...
    def clear_state(self) -> None:
        """Clear all persistent state for this skill."""
    def log(self, message: str) -> None:
        """Log a message (visible in skill execution results).

        Appends ``"[HH:MM:SS] message"`` to the run's log and writes "[skill] message"
        to the module logger.
        """
    def get_logs(self) -> list[str]:
        """Get all log entries (a copy)."""
    async def cleanup(self) -> None:
        """Clean up resources (called automatically after skill execution)."""

class PythonSkillRunner:
    """Loads and executes Python-based skills."""

    _llm_model: str
    def __init__(self, llm_model: str = "gpt-4.1-mini") -> None:
        """``llm_model``: the model every context of this runner asks."""
    async def run(
        self, skill_name: str, params: dict[str, Any], script_path: str | None = None
    ) -> PythonSkillResult:
        """Execute a Python skill.

        Args:
            skill_name: Name of the skill
            params: Parameters passed to the skill's run() function
            script_path: Path to the .py file (if None, looks in SKILLS_DIR)

        The file is loaded afresh on every run and its directory added to ``sys.path``.
        Every failure of the skill, of loading it or of finding it comes back as a
        result with ``success`` False and ``error`` set. Raised instead: ``TypeError``
        for arguments of the wrong type, ``OSError`` when the run's directories cannot
        be created, and a cancellation (after the clean-up). There is no time limit.
        """
