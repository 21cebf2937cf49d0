"""Reference-count scenarios, run under the debug interpreter by test_refcounts.py.

Each scenario is run many times; the total reference count and the number of
allocated memory blocks must not grow with the number of runs. Prints one
JSON object: scenario name -> [refs per run, blocks per run].
"""

import asyncio
import gc
import inspect
import json
import logging
import os
import re
import sys
import tempfile
import types
import warnings
import weakref

sys.path[:0] = [os.path.join(os.path.dirname(__file__), "native"), os.path.join(os.path.dirname(__file__), "..", "src")]
os.environ["HOME"] = tempfile.mkdtemp(prefix="zorvik-refcount-")
warnings.simplefilter("ignore")
# Failed runs log their tracebacks; the counts are what matters here.
logging.getLogger("zorvik").addHandler(logging.NullHandler())
logging.getLogger("zorvik").propagate = False
# So do tasks left pending in a closed loop, which asyncio reports when they go.
logging.getLogger("asyncio").addHandler(logging.NullHandler())
logging.getLogger("asyncio").propagate = False

import zorvik_layer_probe as probe  # noqa: E402

SCENARIOS = {}


def scenario(fn):
    SCENARIOS[fn.__name__] = fn
    return fn


def raises(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except Exception:
        pass


async def cancelled(task):
    """Cancels task and waits for its end."""
    task.cancel()
    try:
        await task
    except asyncio.CancelledError:
        pass


async def cancel_after(coro, steps=1):
    """Runs coro as a task for a few loop steps, then cancels it and waits for its end."""
    task = asyncio.create_task(coro)
    for _ in range(steps):
        await asyncio.sleep(0)
    await cancelled(task)


async def cancel_twice(coro):
    """Cancels a task that has begun, then again once it has taken the first cancellation."""
    task = asyncio.create_task(coro)
    await asyncio.sleep(0)
    task.cancel()
    await asyncio.sleep(0)
    await cancelled(task)


async def settled():
    """Waits until no other task of the loop is left (work handed to tasks of their own),
    for two turns in a row: a finished task's done-callbacks may start another."""
    quiet = 0
    while quiet < 2:
        quiet = quiet + 1 if len(asyncio.all_tasks()) == 1 else 0
        await asyncio.sleep(0)


async def later(value):
    await asyncio.sleep(0)
    return value


@scenario
async def layer_arguments():
    probe.parse("a", {}, 1, 2, "x")
    raises(probe.parse)
    raises(probe.parse, 1, {})
    raises(probe.parse, "a", {}, True)
    raises(probe.parse, "a", {}, bogus=1)


@scenario
async def layer_coroutines():
    await probe.relay(later(1))
    await probe.nested_sum(later(1), later(2))
    await probe.relay_catching(probe.give_text(1))
    probe.relay(None).close()
    coro = probe.relay(later(1))
    coro.send(None)
    coro.close()


@scenario
async def layer_cancellation():
    await cancel_after(probe.relay_catching(asyncio.sleep(3600)))


def fake_playwright(**settings):
    from fake_playwright import FakePlaywright

    fake = FakePlaywright()
    for name, value in settings.items():
        setattr(fake, name, value)
    fake.results["context.storage_state"] = None  # writing the file warms the interpreter's caches for many runs
    sys.modules["playwright.async_api"] = fake.module
    return fake


async def no_pause(delay, result=None):
    return result


@scenario
async def browser_operations():
    import zorvik.skills.skill_engine as engine

    fake = fake_playwright(results={"page.evaluate": "text"})
    real_sleep, asyncio.sleep = asyncio.sleep, no_pause
    try:
        ctx = engine.ZorvikContext("refcount")
        await ctx.browser_navigate("http://x/")
        await ctx.browser_click("#a", 100)
        await ctx.browser_type("#a", "t")
        await ctx.browser_wait("#a")
        await ctx.browser_evaluate("() => 1")
        await ctx.browser_get_text()
        fake.results["page.evaluate"] = 3
        try:
            await ctx.browser_get_text()
        except TypeError:
            pass
        await ctx.browser_screenshot()
        await ctx.browser_upload("#f", "p")
        await ctx.browser_save_session()
        await ctx.browser_close()
        await ctx.browser_close()
        raises(ctx.browser_click, None)
        raises(ctx.browser_click, "#a", "1")
    finally:
        asyncio.sleep = real_sleep


@scenario
async def browser_failed_openings():
    import zorvik.skills.skill_engine as engine

    for step in ("manager.start", "chromium.launch", "browser.new_context", "context.new_page"):
        ctx = engine.ZorvikContext("refcount")
        fake_playwright(fail={step: RuntimeError("x"), "browser.close": OSError("y")})
        try:
            await ctx.browser_open()
        except RuntimeError:
            pass
        fake = fake_playwright(block=step)
        task = asyncio.create_task(ctx.browser_open())
        await fake.blocked.wait()
        await cancelled(task)
        fake = fake_playwright(block=step, release_on_cancel=False)
        task = asyncio.create_task(ctx.browser_open())
        await fake.blocked.wait()
        task.cancel()
        await asyncio.sleep(0)
        await cancelled(task)
        fake.release.set()
        await settled()
    sys.modules["playwright.async_api"] = None
    try:
        await ctx.browser_open()
    except ImportError:
        pass
    sys.modules.pop("playwright.async_api")


class ChatClient:
    """chat.completions.create answering each call with the next reply."""

    def __init__(self, replies):
        from types import SimpleNamespace as NS

        self.replies = list(replies)
        self.chat = NS(completions=NS(create=self.create))
        self._reply = lambda text: NS(choices=[NS(message=NS(content=text))])

    async def create(self, **kwargs):
        reply = self.replies.pop(0)
        if isinstance(reply, BaseException):
            raise reply
        if reply is Ellipsis:
            await asyncio.sleep(3600)
        return self._reply(reply)


@scenario
async def llm_requests():
    import zorvik.skills.skill_engine as engine

    replies = ["plain", None, 'x ```json\n{"a": [1]}\n``` y', "```\nnull", "prose", "[1]", ValueError("down"), ...]
    ctx = engine.ZorvikContext("refcount", llm_client=ChatClient(replies))
    await ctx.llm_ask("q", "s")
    await ctx.llm_ask("q")
    await ctx.llm_json("q")
    await ctx.llm_json("q")
    await ctx.llm_json("q")
    for call in (ctx.llm_json, ctx.llm_ask):
        try:
            await call("q")
        except (TypeError, ValueError):
            pass
    await cancel_after(ctx.llm_ask("q"))
    raises(ctx.llm_ask, "q", None)
    saved = sys.modules.get("openai")
    sys.modules["openai"] = None
    try:
        await engine.ZorvikContext("refcount").llm_ask("q")
    except RuntimeError:
        pass
    sys.modules.pop("openai")
    if saved is not None:
        sys.modules["openai"] = saved


@scenario
async def llm_replacements():
    import zorvik.skills.skill_engine as engine

    ctx = engine.ZorvikContext("refcount", llm_client=ChatClient(['{"a": 1}', "not json"]))
    original = json.loads
    json.loads = lambda text: {"replaced": text}
    try:
        await ctx.llm_json("q")
    finally:
        json.loads = original
    ctx.log = lambda message: None
    await ctx.llm_json("q")


class Commands:
    """Stands in for the engine's asyncio: processes that answer at once, or
    hang in their first communicate() until killed, or are slow to create. Real processes would add
    the interpreter's own subprocess bookkeeping to the counts."""

    class Process:
        pid = 2**30  # no such process group: stopping one is a no-op
        returncode = None

        def __init__(self, command):
            self.hang = "hang" in command

        async def communicate(self):
            if self.hang:
                self.hang = False
                await asyncio.sleep(3600)
            return b"out \xff", b"err"

    def __init__(self):
        self.subprocess = asyncio.subprocess
        self.wait_for = asyncio.wait_for
        self.ensure_future = asyncio.ensure_future
        self.shield = asyncio.shield
        self.TimeoutError = asyncio.TimeoutError
        self.CancelledError = asyncio.CancelledError

    async def create_subprocess_shell(self, command, **kwargs):
        if "\0" in command:
            raise ValueError("embedded null byte")
        if "slow" in command:  # takes a few turns of the loop to be set up
            for _ in range(3):
                await asyncio.sleep(0)
        return self.Process(command)


@scenario
async def shell_commands():
    import zorvik.skills.skill_engine as engine

    ctx = engine.ZorvikContext("refcount")
    real, engine.asyncio = engine.asyncio, Commands()
    try:
        await ctx.shell("echo")
        await ctx.shell("hang", 0.001)
        await ctx.shell("a\0b")
        await cancel_after(ctx.shell("hang"), steps=4)  # in communicate(), past the creation
        await cancel_after(ctx.shell("echo"), steps=1)  # while the process is being created
        await cancel_twice(ctx.shell("slow"))
        await settled()
        raises(ctx.shell, None)
        raises(ctx.shell, "true", "1")
    finally:
        engine.asyncio = real

# ---------------------------------------------------------------- runs, files, state

SKILL_DIR = tempfile.mkdtemp(prefix="zorvik-refcount-skills-")
for _name, _source in {
    "ok": "async def run(ctx, params):\n    ctx.log('hi')\n    return {'n': params['n']}\n",
    "fails": "async def run(ctx, params):\n    raise ValueError('bad')\n",
    "plain": "def run(ctx, params):\n    return {}\n",
    "stranded": "import asyncio\nasync def run(ctx, params):\n    params['seen'] = ctx\n"
                "    await asyncio.get_running_loop().create_future()\n",
}.items():
    with open(os.path.join(SKILL_DIR, _name + ".py"), "w") as _f:
        _f.write(_source)


@scenario
async def engine_runs():
    import zorvik.skills.skill_engine as engine

    runner = engine.PythonSkillRunner()
    for name in ("ok", "fails", "plain"):
        result = await runner.run(name, {"n": 1}, os.path.join(SKILL_DIR, name + ".py"))
        result.to_dict()
    await runner.run("missing", {}, os.path.join(SKILL_DIR, "missing.py"))
    await runner.run("../escape", {})
    raises(runner.run, None, {})


# Contexts of runs and context coroutines dropped in reference cycles, which
# must all be gone once the cycles are collected.
STRANDED = weakref.WeakSet()
stranded_count = 0


class Silent:
    """An LLM client whose requests never get an answer."""

    def __init__(self):
        self.chat = types.SimpleNamespace(completions=self)

    async def create(self, **kwargs):
        await asyncio.get_running_loop().create_future()


def stranded(engine):
    global stranded_count
    stranded_count += 2
    params = {}
    ctx = engine.ZorvikContext("refcount-stranded", Silent())
    STRANDED.add(ctx)
    return engine.PythonSkillRunner().run("stranded", params, os.path.join(SKILL_DIR, "stranded.py")), params, ctx


@scenario
async def engine_runs_kept_in_cycles():
    import zorvik.skills.skill_engine as engine

    run, params, ctx = stranded(engine)
    params["co"] = run
    ctx.co = ctx.llm_ask("q")
    for coro in (run, ctx.co):
        coro.send(None)
    STRANDED.add(params["seen"])


def engine_runs_left_pending():
    import zorvik.skills.skill_engine as engine

    run, params, ctx = stranded(engine)
    loop = asyncio.new_event_loop()
    try:
        tasks = [loop.create_task(run), loop.create_task(ctx.llm_ask("q"))]
        loop.run_until_complete(asyncio.sleep(0))
        STRANDED.add(params["seen"])
        del tasks
    finally:
        loop.close()


SCENARIOS["engine_runs_left_pending"] = engine_runs_left_pending


@scenario
async def engine_files_and_state():
    import zorvik.skills.skill_engine as engine

    ctx = engine.ZorvikContext("refcount-files")
    path = ctx.write_file("sub/a.txt", "h\u00e9llo\r\n")
    ctx.read_file(path)
    ctx.create_document("T\u00eftle: x", "a\n\nb", format="md")
    raises(ctx.read_file, "missing.txt")
    ctx.save_state("k", {"v": (1, 2)})
    ctx.load_state("k")
    raises(ctx.save_state, "loop", [ctx])
    ctx.clear_state()
    ctx.get_logs()


# ---------------------------------------------------------------- the router

def router_scenarios():
    from zorvik.core import tier_chooser as tc

    logger = logging.getLogger("zorvik.tier_chooser")
    logger.addHandler(logging.NullHandler())
    logger.propagate = False
    logger.setLevel(logging.INFO)

    class Keys:
        def has_key(self, provider):
            return provider == "anthropic"

    class Custom(tc.TierChooser):
        def _is_available(self, spec):
            return True

    router = tc.TierChooser(tc.ModelRoutingConfig(default_scheduler_model="claude-haiku"), Keys())
    custom = Custom(None, Keys())
    spec = tc.ModelSpec("m", "local", "M", tc.Complexity.SIMPLE)
    odd_spec = tc.ModelSpec(7, "local", "M", tc.Complexity.SIMPLE)
    long_text = " ".join(["garden"] * 40)
    unicode_text = "\u0130STANBUL GARDENS \u3000 research the \u0663\u0663\u0663 word plots"
    patterns = [r"\bherbs\b", re.compile("weeds"), r"(unclosed"]

    def classify():
        for text in ("short", long_text, unicode_text, "ok then, the garden is fine", "x" * 200 + " stock"):
            tc.classify_complexity(text, 3)
        raises(tc.classify_complexity, None)
        raises(tc.classify_complexity, "text", True)

    def replaced_patterns():
        saved = tc._COMPLEX_PATTERNS
        tc._COMPLEX_PATTERNS = list(patterns)
        try:
            raises(tc.classify_complexity, long_text)
            tc._COMPLEX_PATTERNS = iter([r"garden"])
            tc.classify_complexity(long_text)
        finally:
            tc._COMPLEX_PATTERNS = saved

    def select():
        router.select_for_worker("open the file")
        router.select_for_worker(long_text, "claude-opus")
        router.select_for_worker(long_text, "gpt-5.2")
        router.select_for_scheduler("research the garden history", "nope")
        custom.select_for_worker(unicode_text)
        raises(router.select_for_worker, 5)

    def listing():
        router.get_available_models()
        custom.get_available_models()
        router.record_usage("claude-haiku", 12)
        router.record_usage("new-" + str(len(router._usage_stats) % 3))
        router.get_usage_stats()

    def model_strings():
        for s in tc.AVAILABLE_MODELS.values():
            router.get_litellm_model_string(s)
        router.get_litellm_model_string(spec)
        raises(router.get_litellm_model_string, odd_spec)

    class Growing:
        """An id whose comparison adds to the catalogue being walked."""

        def __eq__(self, other):
            tc.AVAILABLE_MODELS["extra"] = spec
            return False

    def catalogue_changes():
        opus = tc.AVAILABLE_MODELS["claude-opus"]
        opus.display_name = "Opus"
        router.get_available_models()
        opus.display_name = "Claude Opus"
        router._is_available(opus)
        saved = tc.AVAILABLE_MODELS
        tc.AVAILABLE_MODELS = {"a": tc.ModelSpec(Growing(), "p", "G", tc.Complexity.SIMPLE)}
        try:
            raises(router._is_available, spec)
        finally:
            tc.AVAILABLE_MODELS = saved

    def config():
        cfg = tc.ModelRoutingConfig.from_dict({"cost_conscious": True, "extra": 1})
        cfg.to_dict()
        tc.ModelRoutingConfig.from_dict(cfg.to_dict())
        raises(tc.ModelRoutingConfig.from_dict, None)
        router.update_config(router.config)

    return {f.__name__: f for f in (classify, replaced_patterns, select, listing, model_strings, catalogue_changes,
                                    config)}


def synchronous(fn):
    async def scenario():
        fn()

    return scenario


for _name, _fn in router_scenarios().items():
    SCENARIOS["router_" + _name] = synchronous(_fn)


def measure(fn, runs):
    async def in_a_loop(n):
        for _ in range(n):
            await fn()

    def repeat(n):
        if inspect.iscoroutinefunction(fn):
            asyncio.run(in_a_loop(n))
        else:  # makes and closes event loops of its own
            for _ in range(n):
                fn()

    repeat(300)
    gc.collect()
    refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
    repeat(runs)
    gc.collect()
    return [(sys.gettotalrefcount() - refs) / runs, (sys.getallocatedblocks() - blocks) / runs]


if __name__ == "__main__":
    wanted = sys.argv[1:] or list(SCENARIOS)
    print(json.dumps({name: measure(SCENARIOS[name], 300) for name in wanted}))
    gc.collect()
    if stranded_count:
        print(f"contexts alive after collection: {len(STRANDED)} of {stranded_count}", file=sys.stderr)
        sys.exit(len(STRANDED) > 0)
