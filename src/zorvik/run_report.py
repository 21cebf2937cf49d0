"""What a run's caller is told beyond the result: where a failed skill raised, and Python's own hint for it.

Computed from the live exception wherever the skill ran (the command's
process, or a contained run's worker, which sends it back with the result).
"""

import os
import traceback


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


def output_files(directory):
    """The files in a skill's output directory, as the engine lists them for a result (earlier runs' too)."""
    try:
        return [str(entry) for entry in directory.iterdir() if entry.is_file()]
    except OSError:
        return []
