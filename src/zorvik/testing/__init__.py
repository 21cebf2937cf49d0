"""Test script skills offline: a scripted LLM, a browser without Chromium, runs through the real runner.

    from zorvik.testing import FakeBrowser, FakeLLM, FakePage, run_skill

    def test_triage(tmp_path):
        llm = FakeLLM(['```json\n{"category": "bug", "urgent": false}\n```'])
        result = run_skill("examples/skills/triage.py", {"message": "It crashes"}, llm=llm, home=tmp_path)
        assert result.result == {"success": True, "category": "bug", "urgent": False}
        assert llm.requests[0]["messages"][-1] == {"role": "user", "content": "It crashes"}

    def test_a_page(tmp_path):
        browser = FakeBrowser({"https://a.example/": FakePage("Hello", selectors=["#go"])})
        result = run_skill("skills/clicker.py", browser=browser, home=tmp_path)
        assert ("click", ("#go",), {"timeout": 5000.0}) in browser.calls

The module is also a pytest plugin (``pytest -p zorvik.testing``, loaded by
itself once the package is installed) with the fixtures ``skill_home``,
``fake_llm``, ``fake_browser`` and ``run_skill``, and the marker
``allow_unused_replies``.

While a run is in progress the fakes stand in for the ``openai`` package and
for ``playwright.async_api`` (as entries of ``sys.modules``), the engine's
directories lie under the run's home directory, and the engine's one-second
pause after each navigation is skipped, since a fake page is loaded at once.
Everything is put back when the run ends. These are process-wide, so runs
of the kit do not overlap: starting one while another is in progress raises
``RuntimeError``.
"""

import asyncio
import contextlib
import os
import tempfile
from pathlib import Path
from unittest import mock

from zorvik.host import RunWatch, import_engine, run_within, zorvik_home
from zorvik.testing.browser import FakeBrowser, FakePage, WithoutPauses
from zorvik.testing.llm import FakeLLM, OutOfReplies
from zorvik.testing.standin import StandIn

try:
    import pytest
except ImportError:  # the kit works without pytest; only the fixtures need it
    pytest = None

__all__ = ["FakeBrowser", "FakeLLM", "FakePage", "OutOfReplies", "arun_skill", "run_skill"]


_running = False


async def arun_skill(path, params=None, *, llm=None, browser=None, home=None, name=None, timeout=None):
    """Run a skill file to completion through the real ``PythonSkillRunner``; return its ``PythonSkillResult``.

    ``llm`` answers the skill's LLM calls and ``browser`` its browser calls
    (fresh, empty fakes when not given: a skill that asks the model or opens
    a page then fails, rather than going online). The ``.zorvik`` tree
    (skills, output, state, browser session) lies under ``home``; when it is
    not given, under a new temporary directory, which is left in place so
    that the result's output files can be read. The skill's name, which
    chooses its output directory and state file, is the file's stem unless
    ``name`` is given. After ``timeout`` seconds the run is cancelled, and the
    result is the failed "Timed out after N s" one of ``zorvik-skill run``
    with the entries logged so far.
    """
    global _running
    if _running:
        raise RuntimeError("a skill run of zorvik.testing is already in progress; runs of the kit cannot overlap")
    engine = import_engine()
    path = os.fspath(path)
    llm = FakeLLM() if llm is None else llm
    browser = FakeBrowser() if browser is None else browser
    home = tempfile.mkdtemp(prefix="zorvik-skill-home-") if home is None else home
    runner = engine.PythonSkillRunner()
    name = name or Path(path).stem
    _running = True
    try:
        openai = StandIn("openai", {"AsyncOpenAI": lambda *args, **kwargs: llm})
        pauses = mock.patch.object(engine, "asyncio", WithoutPauses())
        # Only a run that may time out gets the watch's context type, which keeps its log for the partial result.
        watch = RunWatch(engine)
        watching = watch if timeout is not None else contextlib.nullcontext()
        with zorvik_home(engine, home), openai, browser.installed(), pauses, watching:
            result, _ = await run_within(engine, runner, name, {} if params is None else params, path, timeout, watch)
            return result
    finally:
        _running = False


def run_skill(path, params=None, *, llm=None, browser=None, home=None, name=None, timeout=None):
    """``arun_skill`` on an event loop of its own, for tests that are not coroutines."""
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        pass
    else:
        raise RuntimeError("run_skill() cannot run inside a running event loop; use 'await arun_skill(...)' "
                           "(or 'await run_skill.arun(...)' with the fixture)")
    return asyncio.run(arun_skill(path, params, llm=llm, browser=browser, home=home, name=name, timeout=timeout))


class BoundRun:
    """``run_skill`` with a test's fakes and home directory; ``arun`` is its coroutine twin.

    A relative skill path is looked for from the working directory, then
    beside the test file (``beside``).
    """

    def __init__(self, llm, browser, home, beside=None):
        self.llm, self.browser, self.home, self.beside = llm, browser, home, beside

    def __call__(self, path, params=None, *, name=None, timeout=None):
        return run_skill(self.find(path), params, llm=self.llm, browser=self.browser, home=self.home, name=name,
                         timeout=timeout)

    async def arun(self, path, params=None, *, name=None, timeout=None):
        return await arun_skill(self.find(path), params, llm=self.llm, browser=self.browser, home=self.home,
                                name=name, timeout=timeout)

    def find(self, path):
        path = Path(path)
        if path.is_absolute() or path.exists() or self.beside is None:
            return path
        beside = self.beside / path
        if beside.exists():
            return beside
        raise FileNotFoundError(f"no skill file {path}: neither {Path.cwd() / path} (from the working directory) "
                                f"nor {beside} (beside the test file) exists")


# ---------------------------------------------------------------- pytest plugin

if pytest is not None:

    PASSED = pytest.StashKey[bool]()

    def pytest_configure(config):
        config.addinivalue_line(
            "markers", "allow_unused_replies: the fake_llm fixture lets the test end with replies no request took")

    @pytest.hookimpl(wrapper=True)
    def pytest_runtest_makereport(item, call):
        # Whether the test itself passed, for the fixtures' checks at teardown.
        report = yield
        if report.when == "call":
            item.stash[PASSED] = report.passed
        return report

    @pytest.fixture
    def skill_home(tmp_path):
        """A fresh directory standing in for the home directory: the runs' ``.zorvik`` tree goes here."""
        home = tmp_path / "skill_home"
        home.mkdir()
        return home

    @pytest.fixture
    def fake_llm(request):
        """An empty FakeLLM: queue the test's replies in ``fake_llm.replies``.

        A test that passes with replies no request took fails, unless it is
        marked ``allow_unused_replies``. (A test that failed has said why.)
        """
        llm = FakeLLM()
        yield llm
        passed = request.node.stash.get(PASSED, False)
        if passed and llm.unused and request.node.get_closest_marker("allow_unused_replies") is None:
            pytest.fail(f"FakeLLM: {len(llm.unused)} queued "
                        f"{'reply was' if len(llm.unused) == 1 else 'replies were'} never asked for: "
                        f"{llm.unused!r} (mark the test allow_unused_replies if that is intended)", pytrace=False)

    @pytest.fixture
    def fake_browser():
        """An empty FakeBrowser: add the test's pages to ``fake_browser.pages``."""
        return FakeBrowser()

    @pytest.fixture(name="run_skill")
    def run_skill_fixture(request, skill_home, fake_llm, fake_browser):
        """``run_skill(path, params=None, *, name=None, timeout=None)`` with this test's fakes and ``skill_home``.

        A relative path not found from the working directory is looked for
        beside the test file.
        """
        return BoundRun(fake_llm, fake_browser, skill_home, request.path.parent)
