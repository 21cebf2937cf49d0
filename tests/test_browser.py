"""The context's browser methods against a recording stand-in for Playwright."""

import asyncio
import sys

import pytest

from fake_playwright import FakePlaywright

LAUNCH = {"headless": True, "args": ["--no-sandbox", "--disable-dev-shm-usage"]}
OPENING = ["async_playwright", "manager.start", "chromium.launch", "browser.new_context", "context.new_page"]
RELEASE = ["context.close", "browser.close", "driver.stop"]


@pytest.fixture
def pw(monkeypatch):
    fake = FakePlaywright()
    monkeypatch.setitem(sys.modules, "playwright.async_api", fake.module)
    return fake


@pytest.fixture
def pauses(monkeypatch):
    """The delays handed to asyncio.sleep, which returns at once."""
    seen = []

    async def sleep(delay, result=None):
        seen.append(delay)
        return result

    monkeypatch.setattr(asyncio, "sleep", sleep)
    return seen


@pytest.fixture
def ctx(engine):
    return engine.ZorvikContext("web")


def messages(ctx):
    return [entry.split("] ", 1)[1] for entry in ctx.get_logs()]


def session_dir(home):
    return home / ".zorvik" / "browser_session"


async def test_opening_launches_once_and_reuses_the_page(ctx, pw, home):
    page = await ctx.browser_open()
    assert await ctx.browser_open() is page
    assert pw.names() == OPENING
    assert pw.of("chromium.launch") == [((), LAUNCH)]
    assert pw.of("browser.new_context") == [((), {})]
    assert (ctx._playwright, ctx._browser_instance, ctx._browser_context, ctx._page) == (
        pw.driver, pw.browser, pw.context, pw.page)
    assert messages(ctx) == ["Browser opened"]
    assert session_dir(home).is_dir()
    assert not (session_dir(home) / "state.json").exists()


async def test_a_saved_session_is_loaded_by_the_next_opening(ctx, pw, home):
    await ctx.browser_save_session()
    assert pw.calls == [] and messages(ctx) == [] and not (home / ".zorvik").joinpath("browser_session").exists()
    await ctx.browser_open()
    await ctx.browser_save_session()
    state = str(session_dir(home) / "state.json")
    assert pw.of("context.storage_state") == [((), {"path": state})]
    await ctx.browser_close()
    await ctx.browser_open()
    (args, kwargs), = pw.of("browser.new_context")[1:]
    assert args == () and kwargs == {"storage_state": state} and type(kwargs["storage_state"]) is str
    assert messages(ctx) == ["Browser opened", "Browser session saved", "Browser closed", "Browser opened"]


@pytest.mark.parametrize(
    "method, args, call, call_args, call_kwargs, logged",
    [
        ("browser_navigate", ("http://x/",), "page.goto", ("http://x/",),
         {"wait_until": "domcontentloaded", "timeout": 30000}, "Navigated to http://x/"),
        ("browser_click", ("#go",), "page.click", ("#go",), {"timeout": 5000.0}, "Clicked: #go"),
        ("browser_click", ("#go", 100), "page.click", ("#go",), {"timeout": 100.0}, "Clicked: #go"),
        ("browser_type", ("#pw", "hunter2"), "page.fill", ("#pw", "hunter2"), {"timeout": 5000.0}, "Typed into: #pw"),
        ("browser_wait", ("#late",), "page.wait_for_selector", ("#late",), {"timeout": 10000.0}, None),
        ("browser_upload", ("#f", "/tmp/a.txt"), "page.set_input_files", ("#f", "/tmp/a.txt"), {},
         "Uploaded /tmp/a.txt to #f"),
    ],
)
async def test_page_operations(ctx, pw, pauses, method, args, call, call_args, call_kwargs, logged):
    assert await getattr(ctx, method)(*args) is None
    (got_args, got_kwargs), = pw.of(call)
    assert got_args == call_args and got_kwargs == call_kwargs
    # Time-outs reach Playwright with the type it documents: the navigation's int, the others' float.
    assert {k: type(v) for k, v in got_kwargs.items()} == {k: type(v) for k, v in call_kwargs.items()}
    assert messages(ctx) == ["Browser opened"] + ([logged] if logged else [])
    assert pauses == ([1] if method == "browser_navigate" else [])


async def test_evaluate_and_text_return_what_the_page_gives(ctx, pw):
    pw.results["page.evaluate"] = {"n": [1, 2]}
    assert await ctx.browser_evaluate("() => 1") is pw.results["page.evaluate"]
    pw.results["page.evaluate"] = "Hello"
    assert await ctx.browser_get_text() == "Hello"
    assert pw.of("page.evaluate") == [(("() => 1",), {}), (("() => document.body.innerText",), {})]
    pw.results["page.evaluate"] = 42
    with pytest.raises(TypeError) as err:
        await ctx.browser_get_text()
    assert str(err.value) == "Expected str, got int"
    assert messages(ctx) == ["Browser opened"]


async def test_screenshots_go_to_the_output_directory(ctx, pw, home):
    out = home / ".zorvik" / "skill_output" / "web"
    assert await ctx.browser_screenshot() == str(out / "screenshot.png")
    assert await ctx.browser_screenshot(name="page.png") == str(out / "page.png.png")
    assert pw.of("page.screenshot") == [((), {"path": str(out / "screenshot.png")}),
                                        ((), {"path": str(out / "page.png.png")})]
    assert messages(ctx)[1:] == [f"Screenshot saved: {out / 'screenshot.png'}", f"Screenshot saved: {out / 'page.png.png'}"]


@pytest.mark.parametrize(
    "method, args, message",
    [
        ("browser_click", (None,), "Argument 'selector' has incorrect type (expected str, got NoneType)"),
        ("browser_click", ("#a", "100"), "must be real number, not str"),
        ("browser_type", ("#a", 5), "Argument 'text' has incorrect type (expected str, got int)"),
        ("browser_navigate", ("http://x/", None), "Argument 'wait_until' has incorrect type (expected str, got NoneType)"),
    ],
)
def test_arguments_are_refused_at_the_call(ctx, pw, method, args, message):
    with pytest.raises(TypeError) as err:
        getattr(ctx, method)(*args)
    assert str(err.value) == message
    assert pw.calls == [] and ctx._page is None


async def test_close_releases_in_order_and_keeps_the_stopped_driver(ctx, pw):
    await ctx.browser_open()
    driver = pw.driver
    pw.fail["context.close"] = RuntimeError("already gone")
    await ctx.browser_close()
    await ctx.browser_close()
    assert pw.names()[len(OPENING):] == RELEASE + ["driver.stop"]
    assert (ctx._page, ctx._browser_instance, ctx._browser_context, ctx._playwright) == (None, None, None, driver)
    assert messages(ctx) == ["Browser opened", "Browser closed", "Browser closed"]
    await ctx.browser_save_session()
    assert "context.storage_state" not in pw.names()


@pytest.mark.parametrize(
    "module, error, text",
    [
        (None, ModuleNotFoundError, "import of playwright.async_api halted; None in sys.modules"),
        (object(), ImportError, "cannot import name 'async_playwright' from 'playwright.async_api' (unknown location)"),
    ],
)
async def test_without_playwright_the_import_error_surfaces(ctx, monkeypatch, module, error, text):
    monkeypatch.setitem(sys.modules, "playwright.async_api", module)
    with pytest.raises(error) as err:
        await ctx.browser_navigate("http://x/")
    assert type(err.value) is error and str(err.value) == text
    assert messages(ctx) == ["Failed to open browser: " + text]


FAILING_STEPS = [
    ("manager.start", []),
    ("chromium.launch", ["driver.stop"]),
    ("browser.new_context", ["browser.close", "driver.stop"]),
    ("context.new_page", RELEASE),
]


@pytest.mark.parametrize("step, released", FAILING_STEPS)
async def test_a_failed_opening_releases_what_it_started(ctx, pw, step, released):
    boom = pw.fail[step] = RuntimeError("no luck")
    pw.fail["browser.close"] = OSError("close failed too")
    with pytest.raises(RuntimeError) as err:
        await ctx.browser_click("#a")
    assert err.value is boom
    assert pw.names()[pw.names().index(step) + 1:] == released
    assert messages(ctx) == ["Failed to open browser: no luck"]
    assert (ctx._page, ctx._browser_instance, ctx._browser_context) == (None, None, None)
    assert ctx._playwright is pw.driver  # stopped, as after browser_close
    # The context is Closed: closing again is harmless and the next operation starts over.
    del pw.fail[step]
    await ctx.browser_close()
    pw.calls.clear()
    await ctx.browser_open()
    assert pw.names() == OPENING


# A cancelled start still finishes; what it started is released with the rest.
CANCELLED_STEPS = [
    ("manager.start", None, ["driver.stop"]),
    ("chromium.launch", None, ["browser.close", "driver.stop"]),
    ("chromium.launch", RuntimeError("no luck"), ["driver.stop"]),
    ("browser.new_context", None, RELEASE),
    ("context.new_page", None, RELEASE),
]


@pytest.mark.parametrize("step, error, released", CANCELLED_STEPS)
async def test_a_cancelled_opening_lets_the_step_finish_and_releases_it(ctx, pw, step, error, released):
    pw.block = step
    if error:
        pw.fail[step] = error
    # The enclosing time-out must still recognise the cancellation as its own.
    with pytest.raises(TimeoutError):
        async with asyncio.timeout(0.05):
            await ctx.browser_wait("#a")
    assert pw.names()[pw.names().index(step) + 1:] == released
    assert messages(ctx) == []
    assert (ctx._page, ctx._browser_instance, ctx._browser_context) == (None, None, None)


async def wait_for_calls(pw, count):
    async with asyncio.timeout(5):
        while len(pw.calls) < count:
            await asyncio.sleep(0)


# What the leaving opening releases itself, and what is released once the held-up step finishes.
LEFT_STEPS = [
    ("manager.start", [], ["driver.stop"]),
    ("chromium.launch", ["driver.stop"], ["browser.close"]),
    ("browser.new_context", ["browser.close", "driver.stop"], ["context.close"]),
    ("context.new_page", RELEASE, ["page.close"]),
]


@pytest.mark.parametrize("step, at_once, later", LEFT_STEPS)
async def test_a_second_cancellation_leaves_at_once_and_the_step_is_released_later(ctx, pw, step, at_once, later):
    pw.block, pw.release_on_cancel = step, False
    task = asyncio.create_task(ctx.browser_wait("#a"))
    await pw.blocked.wait()
    task.cancel()
    await asyncio.sleep(0)  # the opening takes the first cancellation and waits on
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert task.cancelling() == 2
    after = pw.names().index(step) + 1
    assert pw.names()[after:] == at_once
    pw.release.set()
    await wait_for_calls(pw, after + len(at_once) + len(later))
    assert pw.names()[after:] == at_once + later
    assert messages(ctx) == []


async def test_a_closed_opening_awaits_nothing_and_the_step_is_released_later(ctx, pw):
    pw.block, pw.release_on_cancel = "chromium.launch", False
    opening = ctx.browser_open()
    waiting = opening.send(None)
    while not pw.blocked.is_set():  # driven by hand, as a task would, up to the held-up launch
        if waiting.done():
            waiting = opening.send(None)
        await asyncio.sleep(0)
    opening.close()
    assert pw.names()[-1] == "chromium.launch"
    assert ctx._playwright is pw.driver  # left for browser_close, as before
    pw.release.set()
    await wait_for_calls(pw, 4)
    assert pw.names()[3:] == ["browser.close"]
    await ctx.browser_close()
    assert pw.names()[3:] == ["browser.close", "driver.stop"]


@pytest.mark.parametrize("step", RELEASE)
@pytest.mark.parametrize("releasing", ["browser_close", "a failed opening"])
async def test_a_cancelled_release_call_does_not_cut_the_others_short(ctx, pw, step, releasing):
    if releasing == "browser_close":
        await ctx.browser_open()
        logged = ["Browser opened", "Browser closed"]
    else:
        pw.fail["context.new_page"] = RuntimeError("no luck")
        logged = []
    pw.block = step
    with pytest.raises(TimeoutError):
        async with asyncio.timeout(0.05):
            await (ctx.browser_close() if releasing == "browser_close" else ctx.browser_open())
    assert pw.names()[len(OPENING):] == RELEASE
    assert (ctx._page, ctx._browser_instance, ctx._browser_context) == (None, None, None)
    assert messages(ctx) == logged


async def test_operation_errors_pass_through_without_a_log_line(ctx, pw):
    boom = pw.fail["page.click"] = TimeoutError("Timeout 5000ms exceeded")
    with pytest.raises(TimeoutError) as err:
        await ctx.browser_click("#missing")
    assert err.value is boom
    assert messages(ctx) == ["Browser opened"]
    assert ctx._page is pw.page
