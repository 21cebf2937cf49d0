"""What the command tells beyond a run's result: where a failed skill raised, and what it most likely did not mean.

Computed from the live exception and the live returned value wherever the
skill ran: in the command's process, or in a contained run's worker, which
sends them back with the result.
"""

import inspect
import logging
import os
import reprlib
import sys
import traceback

# A value as a warning shows it: shortened, and whatever its own repr() does (fails, or is too long to write).
SHORT = reprlib.Repr(maxstring=40, maxother=40)

# How many frames of where it was made a coroutine records while the command runs a skill: the
# one that made it, so that a warning about a forgotten await names the skill's line and no more.
ORIGIN_DEPTH = 1


class RaisedWatch(logging.Handler):
    """Keeps the exception of a failed run: the engine logs its ERROR record while handling it."""

    def __init__(self):
        super().__init__(logging.ERROR)
        self.raised = None

    def emit(self, record):
        if self.raised is None:
            self.raised = sys.exception()


def failure_site(error, script):
    """``{"file", "line", "hint"}`` for an exception a skill raised, or None when it did not come from the skill.

    The line is the last frame of the skill's file in the traceback (for a
    syntax error, the line the parser names); the hint is what Python's
    traceback adds to the exception's line ("Did you mean: 'x'?", "Did you
    forget to import 'x'?"), or None.
    """
    script = os.path.abspath(script)
    summary = traceback.TracebackException.from_exception(error)
    file = line = None
    for frame in summary.stack:
        if os.path.abspath(frame.filename) == script:
            file, line = frame.filename, frame.lineno
    if isinstance(error, SyntaxError) and error.filename and os.path.abspath(error.filename) == script:
        file, line = error.filename, error.lineno
    hint = None
    try:
        text = str(error)
    except Exception:
        text = ""
    if text:
        for shown in summary.format_exception_only():
            _, found, tail = shown.rstrip("\n").partition(f"{text}. ")
            if found and tail.endswith("?"):
                hint = tail
                break
    if file is None and hint is None:
        return None
    return {"file": file, "line": line, "hint": hint}


class ReturnWatch:
    """Catches the value the skill's ``run`` returns, which the runner does not report.

    The runner replaces a value that is not a dict by ``{"result": str(value)}``,
    which cannot be told apart from a skill that returned such a dict. The
    interpreter's monitoring reports the return of the module-level ``run``
    of the skill file; every other function is switched off for the tool
    after its first return, so the run is not slowed down.

    Of the monitoring tool ids, 0 to 2 and 5 belong to debuggers, coverage,
    profilers and optimizers; the watch takes 3 or 4, whichever is free, and
    when neither is, it watches nothing (the run goes on without the
    warnings about the returned value).
    """

    TOOL_NAME = "zorvik-skill"
    TOOL_IDS = (3, 4)

    def __init__(self, path):
        self.filenames = {os.fspath(path), os.path.abspath(path)}
        self.seen = False
        self.value = None
        self.tool = None

    def __enter__(self):
        monitoring = sys.monitoring
        self.tool = next((tool for tool in self.TOOL_IDS if monitoring.get_tool(tool) is None), None)
        if self.tool is None:
            return self
        monitoring.use_tool_id(self.tool, self.TOOL_NAME)
        monitoring.register_callback(self.tool, monitoring.events.PY_RETURN, self.returned)
        monitoring.set_events(self.tool, monitoring.events.PY_RETURN)
        return self

    def returned(self, code, offset, value):
        if code.co_qualname == "run" and code.co_filename in self.filenames:
            self.seen, self.value = True, value
            return None
        return sys.monitoring.DISABLE

    def __exit__(self, *exc):
        if self.tool is not None:
            monitoring = sys.monitoring
            monitoring.set_events(self.tool, 0)
            monitoring.register_callback(self.tool, monitoring.events.PY_RETURN, None)
            monitoring.free_tool_id(self.tool)


def truth(value):
    """Whether a result's ``success`` counts as a success (a value whose truth cannot be told does not)."""
    try:
        return bool(value)
    except Exception:
        return False


def awaitables_in(value, where="result", depth=0, seen=None):
    """Where in a returned value un-awaited coroutines (or other awaitables) sit, as subscript paths.

    Each container is looked into once: a result that holds itself (or one list in many places)
    is searched in linear time.
    """
    if inspect.isawaitable(value):
        return [(where, value)]
    seen = set() if seen is None else seen
    if depth > 20 or not isinstance(value, (dict, list, tuple)) or id(value) in seen:
        return []
    seen.add(id(value))
    items = value.items() if isinstance(value, dict) else enumerate(value)
    found = []
    for key, item in items:
        step = SHORT.repr(key) if isinstance(value, dict) else key
        found += awaitables_in(item, f"{where}[{step}]", depth + 1, seen)
    return found


def made_at(awaitable, script):
    """``, made at FILE:LINE`` for a coroutine that recorded its origin in the skill's file, else ``""``."""
    for filename, line, _ in getattr(awaitable, "cr_origin", None) or ():
        if os.path.abspath(filename) == script:
            return f", made at {filename}:{line}"
    return ""


def hints(result, returns, script):
    """Warnings about a run whose skill most likely did not mean what it returned."""
    found = []
    returned = result.result
    if isinstance(returned, dict) and "success" in returned and not isinstance(returned["success"], bool):
        value = returned["success"]
        found.append(f'the result\'s "success" is {type(value).__name__} {SHORT.repr(value)}, not true or false; '
                     f'it counts as {"true" if truth(value) else "false"}')
    if not truth(result.success) or result.error is not None:
        return found
    if returns.seen:
        returned = returns.value
    elif returned is None:
        return found
    script = os.path.abspath(script)
    awaitables = awaitables_in(returned)
    for where, awaitable in awaitables:
        name = getattr(awaitable, "__qualname__", type(awaitable).__name__)
        shown = "run() returned" if where == "result" else f"{where} is"
        found.append(f"{shown} a coroutine object ({name}{made_at(awaitable, script)}): did you forget an await?")
        if all(hasattr(awaitable, method) for method in ("send", "throw", "close")):
            awaitable.close()  # warned about here; no second "never awaited" warning at exit
    if returns.seen and not awaitables:
        if returned is None:
            found.append('run() returned None; return a dict such as {"success": True, ...} to report a result')
        elif not isinstance(returned, dict):
            found.append(f'run() returned {type(returned).__name__}, not a dict; the result holds its text under '
                         f'"result"')
    return found
