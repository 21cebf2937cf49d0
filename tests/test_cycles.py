"""Suspended runs and context coroutines caught in reference cycles are collected, and closed as they go.

Two cycles, as hosts make them: the caller keeps a run's coroutine in the
parameters the skill keeps its context in (or a context keeps its own
coroutine), and a task is left pending when its event loop is closed. Plain
Python collects both and closes each coroutine on the way, so that clean-up
that needs no further suspension still runs: the run's browser is closed.
"""

import asyncio
import gc
import logging
import sys
import types
import weakref

import pytest

from fake_playwright import FakePlaywright

LOGGER = "zorvik.skills.skill_engine"
OPENING = ["async_playwright", "manager.start", "chromium.launch", "browser.new_context", "context.new_page"]
RELEASE = ["context.close", "browser.close", "driver.stop"]


class Playwright(FakePlaywright):
    """Records, besides the calls, each call that was closed while it waited."""

    async def _wait(self, obj, name):
        what = self.calls[-1][0]  # this call's, recorded just before it waits
        try:
            await super()._wait(obj, name)
        except GeneratorExit:
            self.calls.append((f"closed {what}", (), {}))
            raise


class Client:
    """An LLM client whose requests wait for ever, recording the close of each."""

    def __init__(self, calls):
        self.chat = types.SimpleNamespace(completions=self)
        self._calls = calls

    async def create(self, **kwargs):
        self._calls.append(("create", (), {}))
        try:
            await asyncio.get_running_loop().create_future()
        except GeneratorExit:
            self._calls.append(("closed create", (), {}))
            raise


WAITS = {
    "future": "await asyncio.get_running_loop().create_future()",
    "browser": "await ctx.browser_navigate('http://example.test/')",
    "llm": "ctx._llm = params['client']\n    await ctx.llm_ask('q')",
}
WAITED = {
    "future": [],
    "browser": [*OPENING, "page.goto", "closed page.goto"],
    "llm": ["create", "closed create"],
}


@pytest.fixture
def pw(monkeypatch):
    fake = Playwright()
    fake.block = "page.goto"
    monkeypatch.setitem(sys.modules, "playwright.async_api", fake.module)
    return fake


@pytest.fixture
def start(engine, pw):
    """The coroutine to strand, and what keeps it in the first cycle: the run's
    parameters, where the skill keeps its context, or the context itself."""

    def make(target, wait):
        client = Client(pw.calls)
        if target == "run":
            engine.SKILLS_DIR.mkdir(parents=True)
            (engine.SKILLS_DIR / "stranded.py").write_text(
                f"import asyncio\nasync def run(ctx, params):\n    params['seen'] = ctx\n    {WAITS[wait]}\n")
            params = {"client": client}
            return engine.PythonSkillRunner().run("stranded", params), params
        ctx = engine.ZorvikContext("stranded", client)
        return (ctx.browser_navigate("http://example.test/") if wait == "browser" else ctx.llm_ask("q")), ctx

    return make


async def drive_by_hand(coro, parked):
    """Resumes coro whenever what it waits for is done, with no task holding
    it, until it is parked where it waits for good."""
    future = coro.send(None)
    while not parked():
        future._asyncio_future_blocking = False
        await asyncio.wait([future])
        future = coro.send(None)


def strand(cycle, coro, keeper, parked):
    """Leaves coro suspended where it waits, held only by `cycle`, and returns
    a weak reference to the context it runs with."""
    loop = asyncio.new_event_loop()
    try:
        if cycle == "kept with its context":
            if isinstance(keeper, dict):
                keeper["co"] = coro
            else:
                keeper.co = coro
            loop.run_until_complete(drive_by_hand(coro, parked))
        else:
            task = loop.create_task(coro)
            for _ in range(100):
                if parked():
                    break
                loop.run_until_complete(asyncio.sleep(0))
            assert parked() and not task.done()
    finally:
        loop.close()
    return weakref.ref(keeper["seen"] if isinstance(keeper, dict) else keeper)


@pytest.mark.parametrize("cycle", ["kept with its context", "pending when its loop closed"])
@pytest.mark.parametrize(
    ("target", "wait"),
    [("run", "future"), ("run", "browser"), ("run", "llm"), ("context", "browser"), ("context", "llm")],
)
def test_collected_and_closed(start, pw, caplog, cycle, target, wait):
    caplog.set_level(logging.INFO, LOGGER)
    coro, keeper = start(target, wait)
    # Parked at the call that waits for ever, or in the skill's own future.
    waits_at = WAITED[wait][-2:-1]
    gone = strand(cycle, coro, keeper, lambda: pw.names()[-1:] == waits_at if waits_at else "seen" in keeper)
    del coro, keeper
    gc.collect()
    assert gone() is None
    # Only the run cleans up after its skill; a context left alone keeps its
    # browser, as plain Python's would.
    cleaned_up = target == "run"
    assert pw.names() == WAITED[wait] + (RELEASE if cleaned_up and wait == "browser" else [])
    assert ("[stranded] Browser closed" in caplog.messages) == cleaned_up
