"""Skill engine benchmarks: each operation of the native module side by side with a
straightforward Python version of the same steps, timed in the same process.

    tools/py314 python3 bench/bench_skill_engine.py [name-substring ...]

Every case is a `Case` in `CASES`: a native callable and a baseline callable (plain
Python, or Playwright used directly). Each line shows the speed, baseline time / native
time (above 1 is faster); the goal is parity within noise, a speed of at least 0.8 on
every case. A section adds its cases with `CASES.append(...)` and needs nothing else.
ZORVIK_BENCH_QUICK=1 shortens the timing for a smoke run.
"""

import asyncio
import atexit
import dataclasses
import importlib.util
import inspect
import json
import logging
import os
import sys
import tempfile
import time
import timeit
import traceback
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

HOME = Path(tempfile.mkdtemp(prefix="zorvik-bench-"))
os.environ["HOME"] = str(HOME)
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "src"))

from zorvik.skills import skill_engine as engine  # noqa: E402

QUICK = os.environ.get("ZORVIK_BENCH_QUICK") == "1"


# ---------------------------------------------------------------- the shared harness


@dataclass
class Case:
    name: str
    native: Callable[[], object]
    baseline: Callable[[], object]
    # What the baseline is, as the report names it.
    baseline_label: str = "plain Python"
    # Another time to set the native one against, reported only.
    reference: Callable[[], object] | None = None
    reference_label: str = ""
    # For operations that accumulate state (log appends to a list): calls per timed
    # block, and what runs untimed before each block, so that the timing measures the
    # operation rather than the growth of memory.
    block: int | None = None
    reset: Callable[[], object] | None = None
    # The least any implementation must spend (reported only).
    floor: Callable[[], object] | None = None


CASES: list[Case] = []
# Parity within noise: the native module no slower than 1 / 0.8 of the baseline.
GOAL = 0.8


def ns_per_op(fns: list[Callable[[], object]], block: int | None = None,
              reset: Callable[[], object] | None = None) -> list[float]:
    """Nanoseconds of processor time per call of each function: the best of many short
    blocks, the functions taking turns so that a busy machine slows them alike."""
    timers = [timeit.Timer(fn, timer=time.process_time) for fn in fns]
    numbers = [block or max(1, t.autorange()[0] // 10) for t in timers]  # blocks of roughly 20 ms
    rounds = 300 if block else 25
    best = [float("inf")] * len(fns)
    for _ in range(max(3, rounds // 8) if QUICK else rounds):
        for i, (timer, number) in enumerate(zip(timers, numbers)):
            if reset:
                reset()
            best[i] = min(best[i], timer.timeit(number) / number * 1e9)
    return best


def run_cases(cases: list[Case]) -> bool:
    print(f"speed = baseline time / native time; goal: speed >= {GOAL} on every case")
    print(f"{'case':40} {'native ns/op':>13} {'baseline ns/op':>15} {'speed':>6}  baseline")
    met = True
    for case in cases:
        extra = [f for f in (case.reference, case.floor) if f]
        native, baseline, *rest = ns_per_op([case.native, case.baseline, *extra], case.block, case.reset)
        speed = baseline / native
        met &= speed >= GOAL
        note = case.baseline_label + ("" if speed >= GOAL else ", below goal")
        if case.reference:
            reference = rest.pop(0)
            note += f"; {case.reference_label} {reference:.0f} ns/op, speed {reference / native:.2f}"
        if case.floor:
            note += f"; floor {rest[0]:.0f} ns/op"
        print(f"{case.name:40} {native:13.0f} {baseline:15.0f} {speed:6.2f}  {note}", flush=True)
    return met


def drive(coro):
    """Runs a coroutine that never suspends and returns its value."""
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    coro.close()
    raise RuntimeError("the coroutine suspended")


# ---------------------------------------------------------------- the Python baseline

baseline_logger = logging.getLogger("bench.baseline.skill_engine")
BASE = HOME / ".zorvik"
STATE_DIR, SKILLS_DIR, OUTPUT_DIR = BASE / "skill_state", BASE / "skills", BASE / "skill_output"


@dataclass
class BaselineResult:
    success: bool
    skill_name: str
    result: Any = None
    error: str | None = None
    logs: list[str] = field(default_factory=list)
    duration: float = 0.0
    output_files: list[str] = field(default_factory=list)

    def to_dict(self) -> dict:
        return {
            "success": self.success,
            "skill_name": self.skill_name,
            "result": self.result,
            "error": self.error,
            "logs": self.logs,
            "duration_seconds": round(self.duration, 2),
            "output_files": self.output_files,
        }


class BaselineContext:
    def __init__(self, skill_name: str, llm_client: Any = None, llm_model: str = "gpt-4.1-mini"):
        self.skill_name = skill_name
        self._llm = llm_client
        self._llm_model = llm_model
        self._browser_instance = None
        self._browser_context = None
        self._page = None
        self._playwright = None
        self._logs: list[str] = []
        self._state_file = STATE_DIR / f"{skill_name}.json"
        self._output_dir = OUTPUT_DIR / skill_name
        STATE_DIR.mkdir(parents=True, exist_ok=True)
        self._output_dir.mkdir(parents=True, exist_ok=True)

    def save_state(self, key: str, value) -> None:
        state = self._load_full_state()
        state[key] = value
        text = json.dumps(state, indent=2, default=str)
        # As the engine saves: never half-written (a temporary file renamed over the
        # state file), through a link to the file it names, keeping its permissions.
        path = os.fspath(self._state_file)
        target = os.path.realpath(path) if os.path.islink(path) else path
        try:
            mode = os.stat(target).st_mode & 0o7777
        except OSError:
            mode = None
        if mode is not None and not os.access(target, os.W_OK):
            raise PermissionError(13, os.strerror(13), path)
        temporary = f"{target}.{os.getpid()}.0.tmp"
        with open(temporary, "x", encoding="utf-8") as f:
            if mode is not None:
                os.fchmod(f.fileno(), mode)
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, target)

    def load_state(self, key: str, default=None):
        return self._load_full_state().get(key, default)

    def _load_full_state(self) -> dict:
        if not self._state_file.exists():
            return {}
        try:
            with open(self._state_file, encoding="utf-8") as f:
                state = json.loads(f.read())
            return state if isinstance(state, dict) else {}
        except Exception:
            return {}

    def log(self, message: str) -> None:
        self._logs.append(f"[{time.strftime('%H:%M:%S')}] {message}")
        baseline_logger.info(f"[{self.skill_name}] {message}")

    def get_logs(self) -> list[str]:
        return self._logs.copy()

    async def browser_close(self):
        self._page = self._browser_instance = self._browser_context = None
        self.log("Browser closed")

    async def cleanup(self):
        await self.browser_close()


class BaselineRunner:
    def __init__(self, llm_model: str = "gpt-4.1-mini"):
        self._llm_model = llm_model

    async def run(self, skill_name: str, params: dict, script_path: str | None = None) -> BaselineResult:
        start = time.time()
        if script_path is None:
            script_path = str(SKILLS_DIR / f"{skill_name}.py")
        if not os.path.exists(script_path):
            return BaselineResult(success=False, skill_name=skill_name, error=f"Script not found: {script_path}")
        ctx = BaselineContext(skill_name=skill_name, llm_model=self._llm_model)
        try:
            spec = importlib.util.spec_from_file_location(f"zorvik_skill_{skill_name}", script_path)
            if spec is None or spec.loader is None:
                return BaselineResult(success=False, skill_name=skill_name,
                                      error=f"Failed to load module from {script_path}")
            module = importlib.util.module_from_spec(spec)
            skill_dir = str(Path(script_path).parent)
            if skill_dir not in sys.path:
                sys.path.insert(0, skill_dir)
            spec.loader.exec_module(module)
            if not hasattr(module, "run"):
                return BaselineResult(success=False, skill_name=skill_name,
                                      error="Skill must define 'async def run(ctx, params) -> dict'")
            run_func = module.run
            if not inspect.iscoroutinefunction(run_func):
                return BaselineResult(success=False, skill_name=skill_name,
                                      error="run() must be an async function (async def run(ctx, params))")
            ctx.log(f"Starting skill: {skill_name}")
            result = await run_func(ctx, params)
            if not isinstance(result, dict):
                result = {"result": str(result)}
            success = result.get("success", True)
            output_files = []
            output_dir = OUTPUT_DIR / skill_name
            if output_dir.exists():
                for f in output_dir.iterdir():
                    if f.is_file():
                        output_files.append(str(f))
            return BaselineResult(success=success, skill_name=skill_name, result=result, logs=ctx.get_logs(),
                                  duration=time.time() - start, output_files=output_files)
        except Exception as e:
            tb = traceback.format_exc()
            ctx.log(f"FATAL ERROR: {e}")
            baseline_logger.error(f"Python skill {skill_name} failed:\n{tb}")
            return BaselineResult(success=False, skill_name=skill_name, error=f"{type(e).__name__}: {e}",
                                  logs=ctx.get_logs(), duration=time.time() - start)
        finally:
            await ctx.cleanup()


# ---------------------------------------------------------------- skill engine cases

SKILLS_DIR.mkdir(parents=True, exist_ok=True)
TRIVIAL = SKILLS_DIR / "trivial.py"
TRIVIAL.write_text("async def run(ctx, params):\n    return {'ok': True}\n")
(OUTPUT_DIR / "trivial").mkdir(parents=True, exist_ok=True)
(OUTPUT_DIR / "trivial" / "earlier.txt").write_text("left by an earlier run\n")


def unavoidable_run_work(name: str = "trivial") -> list[str]:
    """What any runner must do for one run: locate the script, create the directories,
    load and execute the skill file, await its run, list the outputs (the directory's
    existence checked first, as the listing is described)."""
    script = str(SKILLS_DIR / f"{name}.py")
    os.path.exists(script)
    STATE_DIR.mkdir(parents=True, exist_ok=True)
    out = OUTPUT_DIR / name
    out.mkdir(parents=True, exist_ok=True)
    spec = importlib.util.spec_from_file_location(f"zorvik_skill_{name}", script)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    drive(module.run(None, {}))
    return [str(f) for f in out.iterdir() if f.is_file()] if out.exists() else []


native_runner, baseline_runner = engine.PythonSkillRunner(), BaselineRunner()
assert drive(native_runner.run("trivial", {})).success and drive(baseline_runner.run("trivial", {})).success

native_logging, baseline_logging = engine.ZorvikContext("bench"), BaselineContext("bench")
native_hundred, baseline_hundred = engine.ZorvikContext("hundred"), BaselineContext("hundred")
for i in range(100):
    native_hundred.log(f"entry {i}")
    baseline_hundred.log(f"entry {i}")
native_state, baseline_state = engine.ZorvikContext("state"), BaselineContext("state")
SMALL = {"seen": [1, 2, 3], "cursor": "2024-06-01T10:00:00", "count": 42}
result_fields = dict(success=True, skill_name="bench", result={"ok": True}, logs=["[10:00:00] x"] * 3,
                     duration=1.23456, output_files=["/tmp/a", "/tmp/b"])
native_result, baseline_result = engine.PythonSkillResult(**result_fields), BaselineResult(**result_fields)


def save_then_load(ctx):
    ctx.save_state("small", SMALL)
    return ctx.load_state("small")


# A skill run is also set against the work any runner must do.
CASES += [
    Case("PythonSkillRunner.run (trivial skill)", lambda: drive(native_runner.run("trivial", {})),
         lambda: drive(baseline_runner.run("trivial", {})), reference=unavoidable_run_work,
         reference_label="unavoidable work"),
    Case("ZorvikContext(...)", lambda: engine.ZorvikContext("bench"), lambda: BaselineContext("bench")),
    Case("log (logger at its default level)", lambda: native_logging.log("a message"),
         lambda: baseline_logging.log("a message"), block=1000,
         reset=lambda: (native_logging._logs.clear(), baseline_logging._logs.clear())),
    # The copy of the hundred entries that get_logs must return is most of its cost.
    Case("get_logs (100 entries)", native_hundred.get_logs, baseline_hundred.get_logs,
         floor=native_hundred._logs.copy),
    Case("save_state + load_state (small dict)", lambda: save_then_load(native_state),
         lambda: save_then_load(baseline_state)),
    Case("PythonSkillResult.to_dict", native_result.to_dict, baseline_result.to_dict),
]


# ---------------------------------------------------------------- browser

# A local file, so that no server thread of this process shares the timing.
BROWSER_PAGE = HOME / "bench_page.html"
BROWSER_PAGE.write_text("<!doctype html><html><body><h1>Bench</h1><p>A local page.</p></body></html>")
BROWSER_LAUNCH = {"headless": True, "args": ["--no-sandbox", "--disable-dev-shm-usage"]}
INNER_TEXT = "() => document.body.innerText"


async def _no_pause(delay, result=None):
    return result


class BrowserBench:
    """An event loop, set up when a browser case first runs, so other sections never start
    Chromium; the round trips share one context opened on first use.
    The one-second pause after navigation is patched out of both sides while a case runs."""

    def __init__(self):
        self.loop = self.ctx = None

    def run(self, make_coro):
        if self.loop is None:
            self._start()
        real_sleep, asyncio.sleep = asyncio.sleep, _no_pause
        try:
            return self.loop.run_until_complete(make_coro())
        finally:
            asyncio.sleep = real_sleep

    def _start(self):
        self.url = BROWSER_PAGE.as_uri()
        self.loop = asyncio.new_event_loop()
        atexit.register(self._stop)

    def _stop(self):
        if self.ctx is not None:
            self.loop.run_until_complete(self.ctx.browser_close())
        self.loop.close()

    async def engine_session(self):
        ctx = engine.ZorvikContext("bench_browser")
        await ctx.browser_navigate(self.url)
        text = await ctx.browser_get_text()
        await ctx.browser_close()
        return text

    async def direct_session(self):
        from playwright.async_api import async_playwright

        driver = await async_playwright().start()
        browser = await driver.chromium.launch(**BROWSER_LAUNCH)
        context = await browser.new_context()
        page = await context.new_page()
        await page.goto(self.url, wait_until="domcontentloaded", timeout=30000)
        await asyncio.sleep(1)
        text = await page.evaluate(INNER_TEXT)
        await context.close()
        await browser.close()
        await driver.stop()
        return text

    async def _shared(self):
        if self.ctx is None:
            self.ctx = engine.ZorvikContext("bench_browser")
            self.page = await self.ctx.browser_open()
        return self.ctx, self.page

    async def engine_evaluate(self):
        ctx, _ = await self._shared()
        return await ctx.browser_evaluate("() => 1")

    async def direct_evaluate(self):
        _, page = await self._shared()
        return await page.evaluate("() => 1")


BROWSER = BrowserBench()

CASES += [
    Case("browser open+navigate+get_text+close", lambda: BROWSER.run(BROWSER.engine_session),
         lambda: BROWSER.run(BROWSER.direct_session), baseline_label="direct Playwright"),
    Case("browser_evaluate round trip", lambda: BROWSER.run(BROWSER.engine_evaluate),
         lambda: BROWSER.run(BROWSER.direct_evaluate), baseline_label="direct Playwright"),
]


# ---------------------------------------------------------------- LLM access

from types import SimpleNamespace  # noqa: E402


class BaselineLLMContext(BaselineContext):
    async def llm_ask(self, prompt: str, system: str = "") -> str:
        if self._llm is None:
            self._llm = self._create_llm_client()
        messages = []
        if system:
            messages.append({"role": "system", "content": system})
        messages.append({"role": "user", "content": prompt})
        try:
            response = await self._llm.chat.completions.create(
                model=self._llm_model, messages=messages, max_tokens=4096)
            text = response.choices[0].message.content or ""
            self.log(f"LLM response: {len(text)} chars")
            return text
        except Exception as e:
            self.log(f"LLM call failed: {e}")
            raise

    async def llm_json(self, prompt: str, system: str = "") -> dict:
        response = await self.llm_ask(prompt, system)
        text = response.strip()
        if "```json" in text:
            text = text.split("```json")[1].split("```")[0].strip()
        elif "```" in text:
            text = text.split("```")[1].split("```")[0].strip()
        try:
            return json.loads(text)
        except json.JSONDecodeError:
            self.log(f"Failed to parse LLM response as JSON: {text[:200]}")
            return {"raw_response": response, "parse_error": True}


class ReplyClient:
    """chat.completions.create answering every request at once with the same reply."""

    def __init__(self, content: str):
        self._response = SimpleNamespace(choices=[SimpleNamespace(message=SimpleNamespace(content=content))])
        self.chat = SimpleNamespace(completions=SimpleNamespace(create=self.create))

    async def create(self, **kwargs):
        return self._response


FENCED_REPLY = ('Here is the data you asked for:\n```json\n{"title": "Quarterly report", "items": [1, 2, 3], '
                '"done": true}\n```\nLet me know if you need more.')
native_llm = engine.ZorvikContext("bench", llm_client=ReplyClient(FENCED_REPLY))
baseline_llm = BaselineLLMContext("bench", llm_client=ReplyClient(FENCED_REPLY))


def ask_json(ctx):
    ctx._logs.clear()  # one entry per call would pile up over millions of calls
    return drive(ctx.llm_json("Summarise the report as JSON", "You answer in JSON."))


assert ask_json(native_llm) == ask_json(baseline_llm) == {"title": "Quarterly report", "items": [1, 2, 3], "done": True}

# Both sides await the same client coroutine and read the reply with json.loads.
CASES.append(Case("llm_json (fenced reply, fake client)", lambda: ask_json(native_llm),
                  lambda: ask_json(baseline_llm)))


def main(argv: list[str]) -> int:
    wanted = [c for c in CASES if not argv or any(a in c.name for a in argv)]
    return 0 if run_cases(wanted) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
