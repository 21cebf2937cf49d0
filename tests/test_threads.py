"""Native coroutines in several threads at once, each thread with an event loop of its own.

The interpreter may switch threads at any Python call inside a native frame,
so what one thread's frames keep must stay with that thread's coroutine.
"""

import asyncio
import gc
import subprocess
import sys
import threading
import types

import pytest

from fake_playwright import FakePlaywright

THREADS = 4
RUNS = 12

SKILL = """\
async def run(ctx, params):
    for round in range(params["rounds"]):
        ctx.log(f"round {round}")
        await ctx.browser_open()
        await ctx.browser_close()
    return {"success": True, "logged": len(ctx.get_logs())}
"""


def strangers(coro, name, fake):
    """What the native coroutines of coro's await chain keep that belongs to another thread."""
    found = []
    while coro is not None:
        for r in gc.get_referents(coro):
            if type(r).__name__ == "ZorvikContext" and r.skill_name != name:
                found.append(r)
            elif isinstance(r, types.ModuleType) and r.__name__.startswith("zorvik_skill_t") \
                    and r.__name__ != f"zorvik_skill_{name}":
                found.append(r)
            elif getattr(r, "_fake", fake) is not fake:  # a stand-in browser object
                found.append(r)
        coro = getattr(coro, "cr_await", None)
    return found


async def runs_and_closes(engine, script, name, fake):
    runner = engine.PythonSkillRunner()
    seen = []
    for _ in range(RUNS):
        coro = runner.run(name, {"rounds": 8}, script)
        task = asyncio.create_task(coro)
        while not task.done():
            seen += strangers(coro, name, fake)
            await asyncio.sleep(0)
        result = task.result()
        assert result.success, result.error
        assert result.result["logged"] == 1 + 8 * 3
    return seen


def test_skills_run_and_browsers_close_in_several_threads(engine, tmp_path, monkeypatch):
    script = tmp_path / "busy.py"
    script.write_text(SKILL)
    local = threading.local()
    module = types.ModuleType("playwright.async_api")
    module.async_playwright = lambda: local.fake.async_playwright()
    monkeypatch.setitem(sys.modules, "playwright.async_api", module)
    # Threads switch at nearly every chance, inside the native frames too.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    outcomes = {}

    def thread(name):
        local.fake = FakePlaywright()
        try:
            outcomes[name] = asyncio.run(runs_and_closes(engine, str(script), name, local.fake))
        except BaseException as exc:  # reported below, on the test's thread
            outcomes[name] = exc

    try:
        threads = [threading.Thread(target=thread, args=(f"t{i}",)) for i in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert outcomes == {f"t{i}": [] for i in range(THREADS)}


@pytest.mark.debug_interpreter
def test_the_same_under_the_debug_interpreter(debug_python):
    out = subprocess.run(
        [debug_python, "-m", "pytest", "-q", "-p", "no:cacheprovider", f"{__file__}::"
         "test_skills_run_and_browsers_close_in_several_threads"],
        capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stdout[-3000:] + out.stderr[-3000:]
