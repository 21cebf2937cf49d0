"""Shared fixtures: every test runs with HOME in a fresh temporary directory."""

import importlib
import pathlib
import shutil

import pytest

# The skill test kit's fixtures (skill_home, fake_llm, fake_browser, run_skill).
pytest_plugins = ("zorvik.testing",)


@pytest.fixture(autouse=True)
def home(tmp_path, monkeypatch):
    """A fresh home directory, with the engine's directory constants rebound to it."""
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    engine = importlib.import_module("zorvik.skills.skill_engine")
    base = home / ".zorvik"
    monkeypatch.setattr(engine, "STATE_DIR", base / "skill_state")
    monkeypatch.setattr(engine, "SKILLS_DIR", base / "skills")
    monkeypatch.setattr(engine, "OUTPUT_DIR", base / "skill_output")
    return home


@pytest.fixture
def engine():
    return importlib.import_module("zorvik.skills.skill_engine")


@pytest.fixture
def router():
    return importlib.import_module("zorvik.core.tier_chooser")


@pytest.fixture
def debug_python():
    """The debug interpreter, when it and the modules built for it are there."""
    python = shutil.which("python3.14d")
    built = any((pathlib.Path(__file__).parent / "native").glob("zorvik_layer_probe.cpython-314d-*.so"))
    if not python or not built:
        pytest.skip("debug interpreter or its build missing")
    return python
