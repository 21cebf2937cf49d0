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
``fake_llm``, ``fake_browser`` and ``run_skill``.

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
import importlib
import importlib.util
import json
import os
import struct
import sys
import tempfile
import types
import zlib
from pathlib import Path
from unittest import mock

from zorvik.host import import_engine, zorvik_home

try:
    import pytest
except ImportError:  # the kit works without pytest; only the fixtures need it
    pytest = None

__all__ = ["FakeBrowser", "FakeLLM", "FakePage", "OutOfReplies", "arun_skill", "run_skill"]


# ---------------------------------------------------------------- modules standing in for packages

ABSENT = object()


class StandIn(types.ModuleType):
    """A module put in ``sys.modules`` in place of a package while a fake is installed.

    It defines the names the fake provides; any other name is taken from the
    real package, imported on first need (so a skill can still catch the
    package's exception types), or from ``fallbacks`` when the package is not
    installed.
    """

    def __init__(self, name, names, fallbacks=None):
        super().__init__(name, f"Stand-in for {name} (zorvik.testing).")
        vars(self).update(names)
        self._fallbacks = fallbacks or {}
        self._saved = None
        self._real = None

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        real = self._real_module()
        if real is not None:
            return getattr(real, name)
        if name in self._fallbacks:
            return self._fallbacks[name]
        raise AttributeError(f"module {self.__name__!r} has no attribute {name!r} (and the package is not installed)")

    def _real_module(self):
        if self._real is None:
            mine = sys.modules.pop(self.__name__, ABSENT)
            try:
                self._real = importlib.import_module(self.__name__)
            except ImportError:
                self._real = False
            finally:
                if mine is not ABSENT:
                    sys.modules[self.__name__] = mine
        return self._real or None

    def __enter__(self):
        self._saved = sys.modules.get(self.__name__, ABSENT)
        sys.modules[self.__name__] = self
        return self

    def __exit__(self, *exc):
        # A real package imported meanwhile stays imported, as after any import.
        restored = self._real or self._saved
        if restored is ABSENT:
            sys.modules.pop(self.__name__, None)
        else:
            sys.modules[self.__name__] = restored


class Lookalikes:
    """Playwright's two error types, for tests on a machine without Playwright."""

    class Error(Exception):
        def __init__(self, message):
            super().__init__(message)
            self.message = message
            self.name = type(self).__name__
            self.stack = None

    class TimeoutError(Error):
        pass


# ---------------------------------------------------------------- the LLM


class OutOfReplies(AssertionError):
    """A FakeLLM was asked for more replies than its test queued."""


class FakeLLM:
    """A scripted stand-in for the ``openai`` client: ``chat.completions.create`` answers from a queue.

    ``replies`` holds the queued replies, taken in order: a ``str`` (the
    reply's text; ``None`` for a reply without content) or an exception
    instance, which the request raises. ``requests`` records every request as
    a dict with ``model``, ``messages``, ``temperature`` and ``max_tokens``
    (``None`` when not sent), plus any other keyword the caller sent. A
    request after the queue ran dry raises ``OutOfReplies``.

    Pass it as a run's ``llm``, or to ``ZorvikContext(..., llm_client=...)``.
    """

    def __init__(self, replies=()):
        self.replies = list(replies)
        self.requests = []
        self.chat = types.SimpleNamespace(completions=types.SimpleNamespace(create=self._create))

    async def _create(self, *, model=None, messages=None, temperature=None, max_tokens=None, **other):
        self.requests.append(
            {"model": model, "messages": messages, "temperature": temperature, "max_tokens": max_tokens, **other})
        if not self.replies:
            answered = len(self.requests) - 1
            raise OutOfReplies(
                f"FakeLLM has no reply for request {len(self.requests)}: {answered} "
                f"{'reply was' if answered == 1 else 'replies were'} queued and used; add more to its replies")
        reply = self.replies.pop(0)
        if isinstance(reply, BaseException):
            raise reply
        if reply is not None and not isinstance(reply, str):
            raise TypeError(f"FakeLLM replies are str or exceptions, not {type(reply).__name__}")
        message = types.SimpleNamespace(role="assistant", content=reply)
        choice = types.SimpleNamespace(index=0, message=message, finish_reason="stop")
        return types.SimpleNamespace(id=f"fake-{len(self.requests)}", model=model, choices=[choice], usage=None)


# ---------------------------------------------------------------- the browser


def png(width=1, height=1):
    """A small valid PNG image (white)."""

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    rows = b"".join(b"\0" + b"\xff" * 3 * width for _ in range(height))
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")


BODY_TEXT = "() => document.body.innerText"
WAIT_UNTIL = ("load", "domcontentloaded", "networkidle", "commit")


class FakePage:
    """One page of a FakeBrowser: its body text, the CSS selectors on it and the results of scripts.

    ``selectors`` are matched as written (no CSS is parsed); ``evaluate``
    maps a script's exact text to what ``page.evaluate`` returns for it (an
    exception instance is raised instead). The body-text script of
    ``ctx.browser_get_text()`` returns ``text`` unless ``evaluate`` says
    otherwise.
    """

    def __init__(self, text="", selectors=(), evaluate=None):
        self.text = text
        self.selectors = tuple(selectors)
        self.evaluate = dict(evaluate or {})

    def __repr__(self):
        return f"FakePage({self.text!r}, selectors={self.selectors!r}, evaluate={self.evaluate!r})"


BLANK = FakePage()


class FakeBrowser:
    """A stand-in for Playwright's async API that serves pages from a dict, without Chromium or a network.

    ``pages`` maps a URL to the page's body text (a ``str``) or to a
    ``FakePage``. ``calls`` records every Playwright call as
    ``(method name, args, kwargs)``, from ``("async_playwright", (), {})``
    and ``("launch", (), {"headless": True, ...})`` to ``("goto", (url,),
    {...})`` and the final ``close`` and ``stop``.

    As Playwright would, a URL that is not in ``pages`` fails to load
    (``Error``), and a selector the current page lacks fails a ``click``,
    ``fill``, ``wait_for_selector`` or ``set_input_files`` (``TimeoutError``),
    but at once rather than after the time-out. These are Playwright's own
    error types when Playwright is installed, else look-alikes of the same
    names. ``screenshot`` writes a small valid PNG and ``storage_state`` a
    valid JSON file; a page of a closed browser refuses every call.
    """

    def __init__(self, pages=None):
        self.pages = dict(pages or {})
        self.calls = []
        # Installed in place of playwright.async_api during a run; it also
        # finds the error types to raise.
        self.module = StandIn(
            "playwright.async_api",
            {"async_playwright": self._async_playwright},
            fallbacks={"Error": Lookalikes.Error, "TimeoutError": Lookalikes.TimeoutError},
        )

    def _error(self, kind, message):
        return getattr(self.module, kind)(message)

    def installed(self):
        """``playwright.async_api`` replaced by ``module`` (and the package too, when it is not installed)."""
        stack = contextlib.ExitStack()
        try:
            present = importlib.util.find_spec("playwright") is not None
        except (ImportError, ValueError):
            present = False
        if not present:
            # Importing a submodule imports its package first.
            stack.enter_context(StandIn("playwright", {"async_api": self.module}))
        stack.enter_context(self.module)
        return stack

    def _record(self, name, args=(), kwargs=None):
        self.calls.append((name, tuple(args), dict(kwargs or {})))

    def _page(self, url):
        page = self.pages.get(url)
        if page is None:
            return None
        return FakePage(page) if isinstance(page, str) else page

    def _async_playwright(self):
        self._record("async_playwright")
        return _Manager(self)


class _Manager:
    def __init__(self, fake):
        self._fake = fake

    async def start(self):
        self._fake._record("start")
        return _Driver(self._fake)


class _Driver:
    def __init__(self, fake):
        self._fake = fake
        self.chromium = _BrowserType(fake)

    async def stop(self):
        self._fake._record("stop")


class _BrowserType:
    name = "chromium"

    def __init__(self, fake):
        self._fake = fake

    async def launch(self, **kwargs):
        self._fake._record("launch", (), kwargs)
        return _Browser(self._fake)


class _Closable:
    """Something a browser's ``close`` ends, together with what it holds."""

    def __init__(self, fake):
        self._fake = fake
        self._closed = False
        self._children = []

    def _shut(self):
        self._closed = True
        for child in self._children:
            child._shut()

    def _check_open(self, what):
        if self._closed:
            raise self._fake._error("Error", f"{what}: Target page, context or browser has been closed")


class _Browser(_Closable):
    async def new_context(self, **kwargs):
        self._fake._record("new_context", (), kwargs)
        self._check_open("Browser.new_context")
        state = kwargs.get("storage_state")
        if isinstance(state, (str, os.PathLike)):
            json.loads(Path(state).read_text(encoding="utf-8"))  # Playwright reads it, and fails as this does
        context = _Context(self._fake)
        self._children.append(context)
        return context

    async def close(self):
        self._fake._record("close")
        self._shut()


class _Context(_Closable):
    async def new_page(self):
        self._fake._record("new_page")
        self._check_open("BrowserContext.new_page")
        page = _Page(self._fake)
        self._children.append(page)
        return page

    async def storage_state(self, path=None, **kwargs):
        self._fake._record("storage_state", (), {"path": path, **kwargs} if path is not None else kwargs)
        self._check_open("BrowserContext.storage_state")
        state = {"cookies": [], "origins": []}
        if path is not None:
            Path(path).parent.mkdir(parents=True, exist_ok=True)
            Path(path).write_text(json.dumps(state), encoding="utf-8")
        return state

    async def close(self):
        self._fake._record("close")
        self._shut()


class _Page(_Closable):
    def __init__(self, fake):
        super().__init__(fake)
        self.url = "about:blank"
        self._content = BLANK

    def _call(self, name, args, kwargs):
        self._fake._record(name, args, kwargs)
        self._check_open(f"Page.{name}")

    def _need(self, method, selector, timeout):
        if selector not in self._content.selectors:
            shown = "30000" if timeout is None else f"{timeout:g}"
            raise self._fake._error(
                "TimeoutError",
                f'Page.{method}: Timeout {shown}ms exceeded: "{selector}" is not on {self.url} '
                f"(not among its FakePage selectors)")

    async def goto(self, url, **kwargs):
        self._call("goto", (url,), kwargs)
        wait_until = kwargs.get("wait_until")
        if wait_until is not None and wait_until not in WAIT_UNTIL:
            raise self._fake._error("Error", f"Page.goto: wait_until: expected one of ({'|'.join(WAIT_UNTIL)})")
        page = self._fake._page(url)
        if page is None:
            raise self._fake._error("Error", f"Page.goto: net::ERR_NAME_NOT_RESOLVED at {url} (not in FakeBrowser.pages)")
        self.url, self._content = url, page
        return None

    async def click(self, selector, **kwargs):
        self._call("click", (selector,), kwargs)
        self._need("click", selector, kwargs.get("timeout"))

    async def fill(self, selector, value, **kwargs):
        self._call("fill", (selector, value), kwargs)
        self._need("fill", selector, kwargs.get("timeout"))

    async def wait_for_selector(self, selector, **kwargs):
        self._call("wait_for_selector", (selector,), kwargs)
        self._need("wait_for_selector", selector, kwargs.get("timeout"))
        return None

    async def evaluate(self, expression, *args):
        self._call("evaluate", (expression, *args), {})
        if expression in self._content.evaluate:
            value = self._content.evaluate[expression]
        elif expression == BODY_TEXT:
            value = self._content.text
        else:
            raise self._fake._error(
                "Error",
                f"Page.evaluate: no result for this script on {self.url} (add it to the FakePage's evaluate): "
                f"{expression}")
        if isinstance(value, BaseException):
            raise value
        return value

    async def screenshot(self, path=None, **kwargs):
        self._call("screenshot", (), {"path": path, **kwargs} if path is not None else kwargs)
        image = png()
        if path is not None:
            Path(path).parent.mkdir(parents=True, exist_ok=True)
            Path(path).write_bytes(image)
        return image

    async def set_input_files(self, selector, files, **kwargs):
        self._call("set_input_files", (selector, files), kwargs)
        self._need("set_input_files", selector, kwargs.get("timeout"))
        for file in files if isinstance(files, (list, tuple)) else [files]:
            if isinstance(file, (str, os.PathLike)):
                os.stat(file)  # Playwright reads the files first: a missing one fails with FileNotFoundError

    async def close(self, **kwargs):
        self._call("close", (), kwargs)
        self._shut()


class WithoutPauses:
    """``asyncio`` as the engine sees it while a FakeBrowser is installed: ``sleep`` returns at once.

    The engine pauses one second after each navigation, through the
    ``asyncio`` of its own module, so that a real page can settle; a fake page
    has nothing to settle. Everything else is the real ``asyncio``.
    """

    def __getattr__(self, name):
        return getattr(asyncio, name)

    @staticmethod
    async def sleep(delay, result=None):
        await asyncio.sleep(0)
        return result


# ---------------------------------------------------------------- runs


_running = False


async def arun_skill(path, params=None, *, llm=None, browser=None, home=None, name=None):
    """Run a skill file to completion through the real ``PythonSkillRunner``; return its ``PythonSkillResult``.

    ``llm`` answers the skill's LLM calls and ``browser`` its browser calls
    (fresh, empty fakes when not given: a skill that asks the model or opens
    a page then fails, rather than going online). The ``.zorvik`` tree
    (skills, output, state, browser session) lies under ``home``; when it is
    not given, under a new temporary directory, which is left in place so
    that the result's output files can be read. The skill's name, which
    chooses its output directory and state file, is the file's stem unless
    ``name`` is given.
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
    _running = True
    try:
        openai = StandIn("openai", {"AsyncOpenAI": lambda *args, **kwargs: llm})
        pauses = mock.patch.object(engine, "asyncio", WithoutPauses())
        with zorvik_home(engine, home), openai, browser.installed(), pauses:
            return await runner.run(name or Path(path).stem, {} if params is None else params, path)
    finally:
        _running = False


def run_skill(path, params=None, *, llm=None, browser=None, home=None, name=None):
    """``arun_skill`` on an event loop of its own, for tests that are not coroutines."""
    try:
        asyncio.get_running_loop()
    except RuntimeError:
        pass
    else:
        raise RuntimeError("run_skill() cannot run inside a running event loop; use 'await arun_skill(...)' "
                           "(or 'await run_skill.arun(...)' with the fixture)")
    return asyncio.run(arun_skill(path, params, llm=llm, browser=browser, home=home, name=name))


class BoundRun:
    """``run_skill`` with a test's fakes and home directory; ``arun`` is its coroutine twin."""

    def __init__(self, llm, browser, home):
        self.llm, self.browser, self.home = llm, browser, home

    def __call__(self, path, params=None, *, name=None):
        return run_skill(path, params, llm=self.llm, browser=self.browser, home=self.home, name=name)

    async def arun(self, path, params=None, *, name=None):
        return await arun_skill(path, params, llm=self.llm, browser=self.browser, home=self.home, name=name)


# ---------------------------------------------------------------- pytest fixtures

if pytest is not None:

    @pytest.fixture
    def skill_home(tmp_path):
        """A fresh directory standing in for the home directory: the runs' ``.zorvik`` tree goes here."""
        home = tmp_path / "skill_home"
        home.mkdir()
        return home

    @pytest.fixture
    def fake_llm():
        """An empty FakeLLM: queue the test's replies in ``fake_llm.replies``."""
        return FakeLLM()

    @pytest.fixture
    def fake_browser():
        """An empty FakeBrowser: add the test's pages to ``fake_browser.pages``."""
        return FakeBrowser()

    @pytest.fixture(name="run_skill")
    def run_skill_fixture(skill_home, fake_llm, fake_browser):
        """``run_skill(path, params=None, *, name=None)`` with this test's fakes and ``skill_home``."""
        return BoundRun(fake_llm, fake_browser, skill_home)
