"""What the package's own hosts of the skill engine share: the command (cli.py) and the test kit (testing.py).

The engine is imported on first need rather than with this module, so that
``zorvik-skill --help`` and a pytest session that merely loads the kit's
plugin do not pay for it.
"""

import contextlib
import importlib
import os

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
