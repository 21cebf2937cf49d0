"""What the package's own hosts of the skill engine share: the command (cli.py) and the test kit (zorvik.testing).

The engine is imported on first need rather than with this module, so that
``zorvik-skill --help`` and a pytest session that merely loads the kit's
plugin do not pay for it.
"""

import asyncio
import contextlib
import importlib
import os
import time
import traceback

ENGINE = "zorvik.skills.skill_engine"

# The engine's directory constants, each ``<home>/.zorvik/<dir>``.
DIRECTORIES = ("SKILLS_DIR", "STATE_DIR", "OUTPUT_DIR")


def import_engine():
    return importlib.import_module(ENGINE)


@contextlib.contextmanager
def home_variable(home):
    """``HOME`` set to ``home``, and put back (or removed) on exit; other variables are left as they are then."""
    saved = os.environ.get("HOME")
    os.environ["HOME"] = home
    try:
        yield home
    finally:
        if saved is None:
            os.environ.pop("HOME", None)
        else:
            os.environ["HOME"] = saved


def home_directories(engine, home):
    """The engine's directory constants for the ``.zorvik`` tree under ``home`` (an absolute path)."""
    # The same ".zorvik/<dir>" layout as the engine's own constants.
    return {name: type(old)(home, old.parent.name, old.name)
            for name in DIRECTORIES for old in (getattr(engine, name),)}


@contextlib.contextmanager
def zorvik_home(engine, home):
    """Puts the engine's ``.zorvik`` tree (skills, output, state, browser session) under ``home``.

    The engine reads its three directory constants from its module at every
    call, and finds the browser session below ``Path.home()``, so both the
    constants and ``HOME`` are set, and both restored on exit. Yields the
    home directory as an absolute path.
    """
    home = os.path.abspath(os.fspath(home))
    saved = {name: getattr(engine, name) for name in DIRECTORIES}
    try:
        for name, directory in home_directories(engine, home).items():
            setattr(engine, name, directory)
        with home_variable(home):
            yield home
    finally:
        for name, old in saved.items():
            setattr(engine, name, old)


def suggestion(name, names):
    """The name Python's own "Did you mean" offers when ``name`` is missing from an object with ``names``, or None.

    What ``check`` and the kit's fakes suggest is then what a run's traceback
    suggests for the same mistake.
    """

    class Listing:
        def __dir__(self):
            return names

    shown = str(traceback.TracebackException.from_exception(AttributeError(name=name, obj=Listing())))
    _, said, hint = shown.partition("Did you mean: '")
    return hint.removesuffix("'?") if said else None


class RunWatch:
    """Streams a run's log entries to ``stream`` as they are written (when given) and keeps the run's context.

    The runner builds its context through the module's ``ZorvikContext`` as
    bound when it runs, and every service logs through the context's own
    ``log``; binding a subclass there for the run shows each entry at once,
    and keeps the context so that the entries written so far can still be
    reported after the run was cancelled.
    """

    def __init__(self, engine, stream=None):
        self.engine = engine
        self.context = None
        self.streaming = stream is not None
        watch = self

        class ZorvikContext(engine.ZorvikContext):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
                watch.context = self

            def log(self, message):
                super().log(message)
                if watch.streaming:
                    try:
                        print(self._logs[-1], file=stream, flush=True)
                    except (OSError, ValueError):  # stderr closed or a broken pipe: the run goes on
                        watch.streaming = False

        self.context_type = ZorvikContext

    def __enter__(self):
        self.saved = self.engine.ZorvikContext
        self.engine.ZorvikContext = self.context_type
        return self

    def __exit__(self, *exc):
        self.engine.ZorvikContext = self.saved

    def logs(self):
        return self.context.get_logs() if self.context is not None else []


def output_files(directory):
    """The files in a skill's output directory, as the engine lists them for a result (earlier runs' too)."""
    try:
        return [str(entry) for entry in directory.iterdir() if entry.is_file()]
    except OSError:
        return []


def partial_result(engine, name, error, watch, start):
    """The failed result of a run ended from outside: the entries logged so far and the files written."""
    return engine.PythonSkillResult(
        success=False,
        skill_name=name,
        error=error,
        logs=watch.logs(),
        duration=time.time() - start,
        output_files=output_files(engine.OUTPUT_DIR / name),
    )


async def run_within(engine, runner, name, params, path, timeout, watch):
    """Runs the skill, for at most ``timeout`` seconds (None: no limit); returns the result and whether time ran out.

    When it did, the result is a failed one with the error "Timed out after
    N s". Cancelling the run lets the runner clean up as it does after every
    run (the browser it opened is closed, a shell command it started is
    killed) before the cancellation arrives here.
    """
    start = time.time()
    limit = asyncio.timeout(timeout)
    try:
        async with limit:
            result = await runner.run(name, params, str(path))
    except TimeoutError:
        if not limit.expired():
            raise
    else:
        if not limit.expired():
            return result, False
        # Otherwise the skill caught the cancellation and went on: the limit still ran out.
    return partial_result(engine, name, f"Timed out after {timeout:g} s", watch, start), True
