"""zorvik.testing: the fakes against the real runner, what a run restores, and the kit used as an author would."""

import ast
import asyncio
import importlib.abc
import json
import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import textwrap
import time
import zlib

import pytest

from zorvik.testing import FakeBrowser, FakeLLM, FakePage, OutOfReplies, arun_skill, run_skill

TOP = pathlib.Path(__file__).resolve().parent.parent


def skill(tmp_path, body, name="skill"):
    path = tmp_path / f"{name}.py"
    path.write_text(textwrap.dedent(body))
    return path


def png_chunks(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    chunks, at = [], 8
    while at < len(data):
        (length,) = struct.unpack(">I", data[at:at + 4])
        kind, body = data[at + 4:at + 8], data[at + 8:at + 8 + length]
        assert struct.unpack(">I", data[at + 8 + length:at + 12 + length])[0] == zlib.crc32(kind + body)
        chunks.append(kind)
        at += 12 + length
    return chunks


def authors_tests(*paths, cwd=TOP):
    env = dict(os.environ, PYTHONPATH=str(TOP / "src"))
    return subprocess.run([sys.executable, "-m", "pytest", "-p", "zorvik.testing", "-p", "no:cacheprovider", "-q",
                           *map(str, paths)], capture_output=True, text=True, cwd=cwd, env=env, timeout=120)


@pytest.mark.parametrize("where", ["examples/test_skills.py", "README.md"])
def test_an_authors_test_file_passes_with_the_plugin(tmp_path, where):
    if where == "README.md":
        readme = (TOP / "README.md").read_text()
        example = re.search(r"```python\n(# test_examples\.py.*?\n)```\n", readme, re.S).group(1)
        path = tmp_path / "test_examples.py"
        path.write_text(example)
    else:
        path = TOP / where
    out = authors_tests(path)
    assert out.returncode == 0, out.stdout + out.stderr
    assert re.search(r"\b[35] passed\b", out.stdout), out.stdout


BROWSING = """
    from playwright.async_api import TimeoutError as PlaywrightTimeout

    async def run(ctx, params):
        await ctx.browser_navigate("https://a.example/")
        await ctx.browser_type("#q", "rust")
        await ctx.browser_click("#go", timeout=100)
        await ctx.browser_wait("#results")
        try:
            await ctx.browser_click("#absent")
        except PlaywrightTimeout as e:
            ctx.log("no #absent")
        await ctx.browser_upload("#file", __file__)
        shot = await ctx.browser_screenshot("shot")
        await ctx.browser_save_session()
        await ctx.browser_navigate("https://b.example/", wait_until="load")
        return {"text": await ctx.browser_get_text(), "n": await ctx.browser_evaluate("() => 2"), "shot": shot}
"""


def test_fake_browser_answers_every_call_the_engine_makes(tmp_path):
    browser = FakeBrowser({
        "https://a.example/": FakePage("A", selectors=["#q", "#go", "#results", "#file"]),
        "https://b.example/": FakePage("B text", evaluate={"() => 2": 2}),
    })
    path = skill(tmp_path, BROWSING)
    start = time.monotonic()
    result = run_skill(path, home=tmp_path / "home", browser=browser)
    assert time.monotonic() - start < 1.5  # the engine's second after each navigation is skipped
    assert result.success, result.error
    assert result.result["text"] == "B text" and result.result["n"] == 2
    assert png_chunks(pathlib.Path(result.result["shot"]).read_bytes()) == [b"IHDR", b"IDAT", b"IEND"]
    session = tmp_path / "home/.zorvik/browser_session/state.json"
    assert json.loads(session.read_text()) == {"cookies": [], "origins": []}
    assert [name for name, _, _ in browser.calls] == [
        "async_playwright", "start", "launch", "new_context", "new_page", "goto", "fill", "click",
        "wait_for_selector", "click", "set_input_files", "screenshot", "storage_state", "goto", "evaluate",
        "evaluate", "close", "close", "stop"]
    assert browser.calls[6] == ("fill", ("#q", "rust"), {"timeout": 5000.0})
    assert browser.calls[13] == ("goto", ("https://b.example/",), {"wait_until": "load", "timeout": 30000})
    assert "no #absent" in [entry.split("] ", 1)[1] for entry in result.logs]
    # A second run finds the saved session.
    again = run_skill(skill(tmp_path, BROWSING), home=tmp_path / "home", browser=browser)
    assert again.success
    assert ("new_context", (), {"storage_state": str(session)}) in browser.calls


class NoPlaywright(importlib.abc.MetaPathFinder):
    """Playwright as on a machine without it."""

    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] == "playwright":
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)


@pytest.mark.parametrize("playwright", ["installed", "missing"])
@pytest.mark.parametrize(
    "body, error",
    [
        ("await ctx.browser_navigate('https://unknown.example/')",
         "Error: Page.goto: net::ERR_NAME_NOT_RESOLVED at https://unknown.example/ (not in FakeBrowser.pages)"),
        ("await ctx.browser_click('#go')",
         'TimeoutError: Page.click: Timeout 5000ms exceeded: "#go" is not on about:blank '
         "(not among its FakePage selectors)"),
        ("await ctx.browser_navigate('https://a.example/'); await ctx.browser_evaluate('1 + 1')",
         "Error: Page.evaluate: no result for this script on https://a.example/ "
         "(add it to the FakePage's evaluate): 1 + 1"),
        ("page = await ctx.browser_open(); await ctx.browser_close(); await page.goto('https://a.example/')",
         "Error: Page.goto: Target page, context or browser has been closed"),
    ],
    ids=["unknown-url", "missing-selector", "unknown-script", "closed"],
)
def test_fake_browser_fails_at_once_with_playwrights_error_types(tmp_path, monkeypatch, playwright, body, error):
    if playwright == "missing":
        for name in [name for name in sys.modules if name.partition(".")[0] == "playwright"]:
            monkeypatch.delitem(sys.modules, name)
        monkeypatch.setattr(sys, "meta_path", [NoPlaywright(), *sys.meta_path])
        expected_module = "zorvik.testing.browser"
    else:
        expected_module = pytest.importorskip("playwright.async_api").TimeoutError.__module__
    path = skill(tmp_path, f"""
        from playwright.async_api import Error, TimeoutError
        async def run(ctx, params):
            try:
                {body}
            except (Error, TimeoutError) as e:
                return {{"module": type(e).__module__}}
    """)
    result = run_skill(path, browser=FakeBrowser({"https://a.example/": "A"}), home=tmp_path)
    assert result.result == {"module": expected_module}
    plain = run_skill(skill(tmp_path, f"async def run(ctx, params):\n    {body}\n", name="plain"),
                      browser=FakeBrowser({"https://a.example/": "A"}), home=tmp_path)
    assert plain.error == error


async def test_fake_llm_replies_in_order_and_records_requests(tmp_path):
    llm = FakeLLM(["plain", '```json\n{"a": 1}\n```', None, "not json", ConnectionError("down")])
    path = skill(tmp_path, """
        async def run(ctx, params):
            answers = [await ctx.llm_ask("q1"), await ctx.llm_json("q2", system="s"), await ctx.llm_ask("q3"),
                       await ctx.llm_json("q4")]
            try:
                await ctx.llm_ask("q5")
            except ConnectionError as e:
                answers.append(str(e))
            await ctx.llm_ask("q6")
    """)
    result = await arun_skill(path, llm=llm, home=tmp_path)
    assert result.error == "OutOfReplies: FakeLLM has no reply for request 6: 5 replies were queued and used; " \
                           "add more to its replies"
    assert result.logs[-2].endswith("] LLM call failed: " + result.error.split(": ", 1)[1])
    assert [request["messages"][-1]["content"] for request in llm.requests] == ["q1", "q2", "q3", "q4", "q5", "q6"]
    assert llm.requests[1] == {"model": "gpt-4.1-mini", "temperature": None, "max_tokens": 4096, "messages": [
        {"role": "system", "content": "s"}, {"role": "user", "content": "q2"}]}
    assert llm.replies == []
    # Directly as a context's client, too.
    from zorvik.skills.skill_engine import ZorvikContext

    ctx = ZorvikContext("direct", llm_client=FakeLLM(["hi"]))
    assert await ctx.llm_ask("?") == "hi"
    with pytest.raises(OutOfReplies, match="request 2: 1 reply was queued"):
        await ctx.llm_ask("?")


def test_a_lone_text_is_one_reply_or_one_selector(tmp_path):
    browser = FakeBrowser({"https://a.example/": FakePage("A", selectors="#go")})
    path = skill(tmp_path, """
        async def run(ctx, params):
            await ctx.browser_navigate("https://a.example/")
            await ctx.browser_click("#go")
            return {"reply": await ctx.llm_ask("?")}
    """)
    result = run_skill(path, llm=FakeLLM("the one reply"), browser=browser, home=tmp_path)
    assert result.result == {"reply": "the one reply"}, result.error


@pytest.mark.parametrize("outcome", ["returns", "raises", "exits"])
def test_a_run_restores_everything_it_changed(tmp_path, outcome):
    from zorvik.skills import skill_engine as engine

    before = ({name: sys.modules.get(name) for name in ("openai", "playwright.async_api")},
              engine.SKILLS_DIR, engine.STATE_DIR, engine.OUTPUT_DIR, engine.asyncio, engine.ZorvikContext,
              os.environ["HOME"])
    end = {"returns": "return {}", "raises": "raise ValueError('x')", "exits": "raise SystemExit(1)"}[outcome]
    path = skill(tmp_path, f"""
        import os, openai
        async def run(ctx, params):
            assert os.environ["HOME"] == {str(tmp_path / 'h')!r}
            assert isinstance(openai.AsyncOpenAI(), type(openai.AsyncOpenAI()))
            {end}
    """)
    try:
        run_skill(path, home=tmp_path / "h")
    except SystemExit:
        pass
    after = ({name: sys.modules.get(name) for name in ("openai", "playwright.async_api")},
             engine.SKILLS_DIR, engine.STATE_DIR, engine.OUTPUT_DIR, engine.asyncio, engine.ZorvikContext,
             os.environ["HOME"])
    assert after == before


async def test_runs_of_the_kit_do_not_overlap(tmp_path):
    path = skill(tmp_path, "import asyncio\nasync def run(ctx, params):\n    await asyncio.sleep(0.05)\n")
    first = asyncio.ensure_future(arun_skill(path, home=tmp_path))
    await asyncio.sleep(0)
    with pytest.raises(RuntimeError, match="already in progress"):
        await arun_skill(path, home=tmp_path)
    with pytest.raises(RuntimeError, match="use 'await arun_skill"):
        run_skill(path)
    assert (await first).success


def test_defaults_name_home_and_offline_fakes(tmp_path):
    path = skill(tmp_path, """
        async def run(ctx, params):
            ctx.write_file("f.txt", "x")
            return {"params": params, "answer": await ctx.llm_ask("?")}
    """, name="offline")
    result = run_skill(path)
    assert result.skill_name == "offline" and result.error.startswith("OutOfReplies: ")
    home = pathlib.Path(result.logs[1].split("Wrote file: ", 1)[1]).parents[3]
    assert home.name.startswith("zorvik-skill-home-") and home != pathlib.Path.home()
    shutil.rmtree(home)
    named = run_skill(path, {"k": 1}, llm=FakeLLM(["a"]), name="other", home=tmp_path)
    assert named.result == {"params": {"k": 1}, "answer": "a"}
    assert named.output_files == [str(tmp_path / ".zorvik/skill_output/other/f.txt")]


def readme_call_table():
    """{method name: (the call as written, [the Playwright calls as (name, args, kwargs)])} from the README."""
    readme = (TOP / "README.md").read_text().partition("| Called as | Playwright calls |")[2].partition("\n\n")[0]
    rows = re.findall(r"^\| `(browser_\w+)\((.*?)\)` \| (.*) \|$", readme, re.M)
    table = {}
    for name, arguments, cell in rows:
        calls = []
        for text in re.findall(r"`([^`]+)`", cell.partition(";")[0]):
            call = ast.parse(text, mode="eval").body
            calls.append((call.func.id, tuple(ast.literal_eval(a) for a in call.args),
                          {k.arg: ast.literal_eval(k.value) for k in call.keywords}))
        table[name] = (arguments, calls)
    return table


CALLER = """
import ast

async def run(ctx, params):
    name, arguments, calls = params["name"], params["arguments"], params["calls"]
    if name != "browser_open":
        await ctx.browser_open()
    if name not in ("browser_open", "browser_navigate"):
        await ctx.browser_navigate("https://a.example/")
    start = len(calls)
    call = ast.parse(f"f({arguments})", mode="eval").body
    await getattr(ctx, name)(*map(ast.literal_eval, call.args))
    return {"calls": calls[start:]}
"""


@pytest.mark.parametrize("name", sorted(n for n in dir(__import__("zorvik.skills.skill_engine").skills.skill_engine
                                                       .ZorvikContext) if n.startswith("browser_")))
def test_every_browser_method_runs_through_the_fake_as_the_readme_says(tmp_path, monkeypatch, name):
    table = readme_call_table()
    assert name in table, f"the README's table of Playwright calls has no row for {name}"
    arguments, expected = table[name]
    monkeypatch.chdir(tmp_path)
    (tmp_path / "report.pdf").write_bytes(b"%PDF")
    browser = FakeBrowser({"https://a.example/": FakePage("A", selectors=["#go", "#q", "#file"],
                                                          evaluate={"() => document.title": "A"})})
    home = tmp_path / "home"
    result = run_skill(skill(tmp_path, CALLER), {"name": name, "arguments": arguments, "calls": browser.calls},
                       browser=browser, home=home, name="NAME")
    assert result.success, result.error

    def shown(value):
        return value.replace(str(home), "~").replace("/NAME/", "/<name>/") if isinstance(value, str) else value

    made = [(call, tuple(map(shown, args)), {k: shown(v) for k, v in kwargs.items()})
            for call, args, kwargs in result.result["calls"]]
    assert made == expected


def test_fake_browser_answers_playwrights_whole_api_and_follows_links(tmp_path):
    pytest.importorskip("playwright.async_api")
    browser = FakeBrowser({
        "https://a.example/": FakePage("A", selectors=["#pick"], links={"#next": "https://b.example/"}),
        "https://b.example/": FakePage("B", links={"#back": "https://a.example/"},
                                       evaluate={lambda script: "items" in script: len, "() => 1": 1}),
    })
    browser.answers.update({"select_option": lambda selector, value, **kwargs: [value], "Page.title": "Title",
                            "Browser.close": OSError("browser gone")})
    path = skill(tmp_path, """
        async def run(ctx, params):
            page = await ctx.browser_open()
            await ctx.browser_navigate("https://a.example/")
            picked = await page.select_option("#pick", "b")
            await page.keyboard.press("Enter")
            await ctx.browser_click("#next")
            seen = [page.url, await ctx.browser_evaluate("() => items"), await ctx.browser_evaluate("() => 1")]
            await page.locator("#back").click()
            seen += [page.url, await page.title(), page.locator("#x").page is page, page.context is not None]
            try:
                page.select_optoin
            except AttributeError as e:
                seen.append(str(e))
            try:
                await page.locator("#missing").first.click(timeout=10)
            except Exception as e:
                seen.append(str(e))
            return {"picked": picked, "seen": seen}
    """)
    result = run_skill(path, browser=browser, home=tmp_path)
    assert result.result == {"picked": ["b"], "seen": [
        "https://b.example/", 11, 1, "https://a.example/", "Title", True, True,
        "'Page' object has no attribute 'select_optoin'. Did you mean: 'select_option'?",
        'Locator.click: Timeout 10ms exceeded: "#missing" is not on https://a.example/ '
        "(not among its FakePage selectors)"]}
    assert ("press", ("Enter",), {}) in browser.calls
    # The browser's close failed (as answered), and the driver was still stopped.
    assert browser.calls[-3:] == [("close", (), {}), ("close", (), {}), ("stop", (), {})]


PAGE_STEP = """
async def run(ctx, params):
    page = await ctx.browser_open()
    await ctx.browser_navigate("https://a.example/")
    try:
        return {{"value": await step(page)}}
    except Exception as e:
        return {{"value": f"{{type(e).__name__}}: {{e}}"}}

async def step(page):
    {step}
"""


@pytest.mark.parametrize("step, value", [
    ("return await page.evaluate('x => x', arg=3)", "same"),
    ("return await page.wait_for_selector('#gone', state='detached')", None),
    ("return await page.locator('#gone').wait_for(state='hidden')", None),
    ("return await page.wait_for_selector('#here', state='hidden', timeout=10)",
     'TimeoutError: Page.wait_for_selector: Timeout 10ms exceeded: "#here" is still on https://a.example/ '
     "(among its FakePage selectors)"),
    ("return await page.reload()", None),  # declared Optional: not a fake of typing's Union
    ("return await page.locator('#here').evaluate('e => e.id')", None),  # declared Any
    ("async with page.expect_navigation():\n        await page.click('a.next')\n    return page.url",
     "https://b.example/"),
    ("async with page.expect_popup() as popup:\n        await page.click('#here')\n"
     "    opened = await popup.value\n    return [repr(opened), opened is page, opened.url]",
     ["<fake Page>", False, "about:blank"]),
])
def test_fake_pages_take_playwrights_arguments_and_mean_what_they_mean(tmp_path, step, value):
    pytest.importorskip("playwright.async_api")
    browser = FakeBrowser({"https://a.example/": FakePage("A", selectors=["#here"], evaluate={"x => x": "same"},
                                                          links={"a.next": "https://b.example/"}),
                           "https://b.example/": "B"})
    result = run_skill(skill(tmp_path, PAGE_STEP.format(step=step)), browser=browser, home=tmp_path)
    assert result.result == {"value": value}


def test_an_awaitable_answer_is_awaited_and_a_time_limit_ends_a_run_stuck_there(tmp_path):
    browser = FakeBrowser({"https://a.example/": "A"})
    browser.answers.update({"title": lambda: asyncio.sleep(0, "Title"), "goto": lambda url, **kw: asyncio.sleep(60)})
    path = skill(tmp_path, """
        async def run(ctx, params):
            page = await ctx.browser_open()
            ctx.log(await page.title())
            await ctx.browser_navigate("https://a.example/")
    """)
    result = run_skill(path, browser=browser, home=tmp_path, timeout=0.2)
    assert result.error == "Timed out after 0.2 s"
    assert [entry.split("] ", 1)[1] for entry in result.logs] == [
        "Starting skill: skill", "Browser opened", "Title", "Browser closed"]


AUTHORS_TESTS = '''
import asyncio
import pytest

def reply(request):
    return request["messages"][-1]["content"].upper()

def test_computed_reply_and_one_left(run_skill, fake_llm):
    fake_llm.replies += [reply, "never asked for"]
    assert run_skill("beside.py").result == {"answer": "HELLO"}

@pytest.mark.allow_unused_replies
def test_left_on_purpose(run_skill, fake_llm):
    fake_llm.replies += [reply, "never asked for"]
    assert run_skill("beside.py").result == {"answer": "HELLO"}
    assert fake_llm.unused == ["never asked for"]

def test_fails_with_replies_left(run_skill, fake_llm):
    fake_llm.replies += ["left because the test failed"]
    assert False, "the test's own failure"

def test_a_time_limit(run_skill):
    result = run_skill("stuck.py", timeout=0.2)
    assert (result.success, result.error) == (False, "Timed out after 0.2 s")
    assert [entry.split("] ", 1)[1] for entry in result.logs] == ["Starting skill: stuck", "waiting", "Browser closed"]

def test_missing(run_skill, tmp_path):
    with pytest.raises(FileNotFoundError) as caught:
        run_skill("absent.py")
    assert str(caught.value).startswith("no skill file absent.py: neither ")
    assert "absent.py (beside the test file) exists" in str(caught.value)
'''


def test_the_plugin_finds_skills_beside_the_test_checks_unused_replies_and_limits_time(tmp_path):
    tests = tmp_path / "tests"
    tests.mkdir()
    (tests / "test_authors.py").write_text(AUTHORS_TESTS)
    skill(tests, "async def run(ctx, params):\n    return {'answer': await ctx.llm_ask('hello')}\n", name="beside")
    skill(tests, """
        import asyncio
        async def run(ctx, params):
            ctx.log("waiting")
            await asyncio.sleep(60)
    """, name="stuck")
    out = authors_tests("tests/test_authors.py", cwd=tmp_path)
    assert re.search(r"^1 failed, 4 passed, 1 error in ", out.stdout, re.M), out.stdout
    assert ("FakeLLM: 1 queued reply was never asked for: ['never asked for'] "
            "(mark the test allow_unused_replies if that is intended)") in out.stdout
