"""zorvik-skill: exit statuses, what goes to stdout and stderr, time limits, interrupts, check, new and list."""

import json
import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import time
import uuid

import pytest

from zorvik import cli

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
MARK = "ZORVIK_CLI_TEST"


def command(*args, mark=None):
    env = dict(os.environ, PYTHONPATH=str(SRC))
    if mark:
        env[MARK] = mark
    return [sys.executable, "-m", "zorvik", *map(str, args)], env


def zorvik_skill(*args, mark=None, timeout=60):
    argv, env = command(*args, mark=mark)
    return subprocess.run(argv, capture_output=True, text=True, env=env, timeout=timeout)


def skill(tmp_path, body, name="skill"):
    path = tmp_path / f"{name}.py"
    path.write_text(textwrap.dedent(body))
    return path


def messages(logs):
    return [entry.split("] ", 1)[1] for entry in logs]


def marked_processes(mark):
    """Processes still alive that a run with this mark started (the mark is in their environment)."""
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and f"{MARK}={mark}".encode() in (entry / "environ").read_bytes().split(b"\0"):
                found.append((entry / "cmdline").read_bytes().replace(b"\0", b" ").decode())
        except OSError:
            pass
    return found


@pytest.mark.parametrize(
    "items, params",
    [
        (["n=3", "name=Ada", 'tags=[1, "x"]', "flag=true", "empty=", "eq=a=b"],
         {"n": 3, "name": "Ada", "tags": [1, "x"], "flag": True, "empty": "", "eq": "a=b"}),
        (['{"n": 3, "deep": {"k": null}}'], {"n": 3, "deep": {"k": None}}),
        ([], {}),
    ],
)
def test_parameters(capsys, items, params):
    assert cli.parse_params(items) == params
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize(
    "items, params, last",
    [(["n=1", "m=2", "n=3"], {"n": 3, "m": 2}, "3"),
     (['{"n": 1, "deep": {"k": 1, "k": 2}, "n": "x"}'], {"n": "x", "deep": {"k": 2}}, '"x"')],
)
def test_a_repeated_parameter_warns_and_keeps_the_last_value(capsys, items, params, last):
    assert cli.parse_params(items) == params
    assert capsys.readouterr().err == \
        f"zorvik-skill: warning: parameter 'n' is given 2 times; the last value, {last}, is used\n"


HEAVY = ("playwright", "openai", "docx")


@pytest.mark.parametrize(
    "body, status, error",
    [
        ("return {'params': params, 'heavy': sorted(m for m in sys.modules if m.split('.')[0] in HEAVY)}",
         0, None),
        ("return {'success': False}", 1, None),
        ("raise ValueError('bad')", 1, "ValueError: bad"),
        ("sys.exit(3)", 1, "SystemExit: 3"),
    ],
    ids=["success", "reported-failure", "exception", "sys-exit"],
)
def test_exit_status_and_result(tmp_path, body, status, error):
    path = skill(tmp_path, f"""
        import sys
        HEAVY = {HEAVY!r}
        async def run(ctx, params):
            ctx.log("working")
            {body}
    """)
    out = zorvik_skill("run", path, "n=1", "--timeout", "30", "word=hi")
    assert out.returncode == status, out.stderr
    result = json.loads(out.stdout)
    assert (result["success"], result["error"]) == (status == 0, error)
    assert messages(result["logs"])[:2] == ["Starting skill: skill", "working"]
    if status == 0:
        # Parameters after options count too; Playwright, openai and python-docx stay unimported.
        assert result["result"] == {"params": {"n": 1, "word": "hi"}, "heavy": []}
        assert out.stderr.count("\n") == 3  # the three log entries, "Browser closed" last
    else:
        assert out.stderr.splitlines()[-1].startswith("zorvik-skill: the run failed: ")


def test_the_skill_prints_to_stderr_and_only_the_result_reaches_stdout(tmp_path):
    path = skill(tmp_path, """
        import os, sys
        async def run(ctx, params):
            print("from print")
            ctx.log("logged")
            sys.stdout.write("from sys.stdout\\n")
            os.system("echo from a child process")
            await ctx.shell("echo captured by shell")
            return {"ok": True}
    """)
    out = zorvik_skill("run", path)
    assert out.returncode == 0
    assert json.loads(out.stdout)["result"] == {"ok": True}
    lines = [line.split("] ", 1)[-1] for line in out.stderr.splitlines()]
    assert lines == ["Starting skill: skill", "from print", "logged", "from sys.stdout", "from a child process",
                     "Shell: echo captured by shell... → 18 chars", "Browser closed"]


@pytest.mark.parametrize(
    "args, message",
    [
        (["missing.py"], "no skill file at missing.py"),
        (["nameless"], "no skill named 'nameless' in {home}/.zorvik/skills (give a path to use a file elsewhere)"),
        (["{skill}", "novalue"], "parameter 'novalue' is not of the form key=value"),
        (["{skill}", '{"n": '], "parameters are not a valid JSON object: Expecting value: line 1 column 7 (char 6)"),
        (["{skill}", '{"n": 1}', "m=2"], "parameters mix a JSON object with other parameters: give either one "
                                         "JSON object or key=value pairs"),
        (["{skill}", "--json-out", "/no/such/dir/out.json"], "cannot write /no/such/dir/out.json: no directory /no/such/dir"),
        (["{skill}", "--memory", "10", "--in-process"], "--memory limits a contained run; it cannot be used with --in-process"),
    ],
)
def test_usage_errors_are_one_line_with_status_2(tmp_path, home, args, message):
    path = skill(tmp_path, "async def run(ctx, params):\n    return {}\n")
    out = zorvik_skill("run", *[arg.replace("{skill}", str(path)) for arg in args])
    assert (out.returncode, out.stdout, out.stderr) == (2, "", f"zorvik-skill: {message.replace('{home}', str(home))}\n")


def test_a_bad_timeout_is_a_usage_error(tmp_path):
    out = zorvik_skill("run", skill(tmp_path, ""), "--timeout", "0")
    assert out.returncode == 2
    assert out.stderr.endswith("argument --timeout: expected a positive number of seconds, got '0'\n")


@pytest.mark.parametrize(
    "stuck_in, mode",
    [("await asyncio.sleep(60)", []), ("await ctx.shell('sleep 60; echo never', timeout=120)", []),
     ("await asyncio.sleep(60)", ["--in-process"])],
    ids=["asyncio-sleep", "shell", "in-process"],
)
def test_a_time_out_cancels_the_run_and_prints_a_partial_result(tmp_path, stuck_in, mode):
    path = skill(tmp_path, f"""
        import asyncio
        async def run(ctx, params):
            ctx.write_file("before.txt", "written before the time-out")
            ctx.log("stuck")
            {stuck_in}
            ctx.log("never logged")
    """)
    mark = uuid.uuid4().hex
    out = zorvik_skill("run", path, "--timeout", "1.5", *mode, mark=mark)
    assert out.returncode == 124, out.stderr
    result = json.loads(out.stdout)
    assert (result["success"], result["result"], result["error"]) == (False, None, "Timed out after 1.5 s")
    assert messages(result["logs"])[1:] == ["Wrote file: " + result["output_files"][0] + " (27 chars)", "stuck",
                                            "Browser closed"]
    assert 1.5 <= result["duration_seconds"] < 10
    assert out.stderr.endswith("zorvik-skill: timed out after 1.5 s; the run was cancelled\n")
    assert marked_processes(mark) == []


def test_ctrl_c_cancels_the_run_and_prints_a_partial_result(tmp_path):
    started = tmp_path / "started"
    path = skill(tmp_path, f"""
        async def run(ctx, params):
            ctx.log("waiting")
            await ctx.shell("touch {started} && sleep 60", timeout=120)
    """)
    mark = uuid.uuid4().hex
    argv, env = command("run", path, mark=mark)
    with subprocess.Popen(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as proc:
        # Log entries arrive while the skill runs.
        assert proc.stderr.readline().endswith("] Starting skill: skill\n")
        assert proc.stderr.readline().endswith("] waiting\n")
        # Interrupted while the command runs (not while it is being started).
        while not started.exists():
            time.sleep(0.01)
        time.sleep(0.1)
        proc.send_signal(signal.SIGINT)
        stdout, stderr = proc.communicate(timeout=30)
    assert proc.returncode == 130
    result = json.loads(stdout)
    assert (result["success"], result["error"]) == (False, "Interrupted")
    assert messages(result["logs"]) == ["Starting skill: skill", "waiting", "Browser closed"]
    assert stderr.endswith("zorvik-skill: interrupted; the run was cancelled\n")
    assert marked_processes(mark) == []


@pytest.mark.parametrize("stuck", ["while True: pass", "time.sleep(60)"], ids=["cpu-loop", "blocking-call"])
@pytest.mark.parametrize("stop", ["timeout", "ctrl-c"])
def test_a_skill_that_never_yields_is_stopped_with_its_result_and_nothing_left(tmp_path, stuck, stop):
    path = skill(tmp_path, f"""
        import subprocess, time
        async def run(ctx, params):
            subprocess.Popen(["setsid", "sleep", "300"])
            try:
                ctx.log("stuck")
                {stuck}
            finally:
                ctx.log("finally")
    """)
    mark = uuid.uuid4().hex
    argv, env = command("run", path, *(["--timeout", "1"] if stop == "timeout" else []), mark=mark)
    with subprocess.Popen(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as proc:
        assert any(line.endswith("] stuck\n") for line in proc.stderr)
        if stop == "ctrl-c":
            proc.send_signal(signal.SIGINT)
        stopped = time.monotonic()
        stdout, stderr = proc.communicate(timeout=30)
    assert time.monotonic() - stopped < 6  # 2.5 s at most on an idle machine
    assert proc.returncode == (124 if stop == "timeout" else 130)
    result = json.loads(stdout)
    assert result["error"] == ("Timed out after 1 s" if stop == "timeout" else "Interrupted")
    assert messages(result["logs"]) == ["Starting skill: skill", "stuck", "finally", "Browser closed"]
    assert marked_processes(mark) == []


@pytest.mark.parametrize(
    "body, args, error",
    [("os._exit(7)", [], "Skill process exited with status 7"),
     # The default action, past any handler a sanitizer puts in place.
     ("signal.signal(signal.SIGSEGV, signal.SIG_DFL); os.kill(os.getpid(), signal.SIGSEGV)", [], "Skill process ended by signal SIGSEGV"),
     ("hog = [bytearray(1 << 30)]", ["--memory", "100"], "Memory limit of 100 MB exceeded"),
     ("raise KeyboardInterrupt('in the skill')", [], "KeyboardInterrupt: in the skill")],
    ids=["exit", "crash", "memory", "keyboard-interrupt"],
)
def test_a_worker_that_dies_fails_the_run_with_the_log_so_far(tmp_path, body, args, error):
    path = skill(tmp_path, f"""
        import os, signal, time
        async def run(ctx, params):
            ctx.log("before")
            {body}
            time.sleep(30)
    """)
    out = zorvik_skill("run", path, *args)
    assert out.returncode == 1
    result = json.loads(out.stdout)
    assert (result["success"], result["error"]) == (False, error)
    assert messages(result["logs"])[:2] == ["Starting skill: skill", "before"]
    where = f"{path}:5: " if error.startswith("KeyboardInterrupt") else ""  # raised by the skill: its line
    assert out.stderr.splitlines()[-1] == f"zorvik-skill: the run failed: {where}{error}"


@pytest.mark.parametrize("mode", [[], ["--in-process"]], ids=["contained", "in-process"])
def test_a_failure_points_at_the_skill_s_line_with_python_s_hint(tmp_path, mode):
    path = skill(tmp_path, """
        import os
        async def run(ctx, params):
            ctx.log(f"own group: {os.getpgrp() == os.getpid()}")
            await ctx.browser_navigat("https://example.com/")
    """)
    out = zorvik_skill("run", path, *mode)
    assert out.returncode == 1
    # Contained, the skill runs in a worker process of its own group; in process, in the command's.
    assert messages(json.loads(out.stdout)["logs"])[1] == f"own group: {not mode}"
    assert out.stderr.splitlines()[-1] == (
        f"zorvik-skill: the run failed: {path}:5: AttributeError: 'ZorvikContext' object has no attribute "
        f"'browser_navigat'. Did you mean: 'browser_navigate'? (--traceback shows the whole traceback)")
    traced = zorvik_skill("run", path, "--traceback", *mode)
    assert f'File "{path}", line 5, in run' in traced.stderr


def reject(constant):
    raise ValueError(f"not strict JSON: {constant}")


@pytest.mark.parametrize("mode", [[], ["--in-process"]], ids=["contained", "in-process"])
@pytest.mark.parametrize("success, status", [('"false"', 0), ("0", 1)])
def test_output_is_strict_json_and_what_was_converted_is_named(tmp_path, mode, success, status):
    path = skill(tmp_path, f"""
        import datetime
        async def run(ctx, params):
            return {{"success": {success}, "ratio": float("nan"), "when": datetime.date(2024, 5, 1), 3: "three"}}
    """)
    out = zorvik_skill("run", path, "--json-out", tmp_path / "result.json", *mode)
    assert out.returncode == status
    result = json.loads(out.stdout, parse_constant=reject)
    assert (tmp_path / "result.json").read_text() == out.stdout
    assert result["result"] == {"success": json.loads(success), "ratio": None, "when": "2024-05-01", "3": "three"}
    value = repr(json.loads(success))
    expected = [
        "zorvik-skill: warning: converted for JSON: result['ratio'] nan → null; result['when'] date → str(); "
        "result[3] int key → '3'",
        f'zorvik-skill: warning: the result\'s "success" is {type(json.loads(success)).__name__} {value}, not true '
        f'or false; it counts as {"true" if status == 0 else "false"}',
    ]
    if status:
        expected.append(f'zorvik-skill: the run failed: the skill returned "success": {success}')
    assert out.stderr.splitlines()[-len(expected):] == expected


def test_a_result_prints_whatever_the_output_s_encoding(tmp_path):
    path = skill(tmp_path, 'async def run(ctx, params):\n    return {"name": "日本 é"}\n')
    argv, env = command("run", path)
    out = subprocess.run(argv, capture_output=True, env=dict(env, PYTHONIOENCODING="latin-1"), timeout=60)
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout.decode("latin-1"))["result"] == {"name": "日本 é"}


@pytest.mark.parametrize("mode", [[], ["--in-process"]], ids=["contained", "in-process"])
def test_a_success_and_a_key_whose_repr_fails_are_warned_about_and_the_result_printed(tmp_path, mode):
    path = skill(tmp_path, """
        class Odd:
            def __repr__(self):
                raise RuntimeError("no repr")
        async def run(ctx, params):
            return {"success": Odd(), Odd(): "a key"}
    """)
    out = zorvik_skill("run", path, *mode)
    assert out.returncode == 0, out.stderr
    odd = "<zorvik_skill_skill.Odd object at 0x"
    result = json.loads(out.stdout)["result"]
    assert result["success"].startswith(odd) and list(result)[1].startswith(odd)
    assert out.stderr.splitlines()[-1].startswith('zorvik-skill: warning: the result\'s "success" is Odd <Odd instance')


@pytest.mark.parametrize("mode", [[], ["--in-process"]], ids=["contained", "in-process"])
def test_a_coroutine_never_awaited_is_reported_at_the_skill_s_line(tmp_path, mode):
    path = skill(tmp_path, """
        async def helper():
            return 1
        async def run(ctx, params):
            pending = [helper()]
            return {}
    """)
    out = zorvik_skill("run", path, *mode)
    assert out.returncode == 0
    made = out.stderr.split("Coroutine created at (most recent call last)\n", 1)[1]
    assert made.startswith(f'  File "{path}", line 5, in run\n')


def test_home_holds_the_whole_tree_and_json_out_the_result(tmp_path, home):
    other = tmp_path / "other home"
    skills = other / ".zorvik" / "skills"
    skills.mkdir(parents=True)
    skill(skills, """
        import os
        async def run(ctx, params):
            ctx.save_state("seen", True)
            return {"file": ctx.write_file("out.txt", "x"), "home": os.environ["HOME"]}
    """, name="named")
    out = zorvik_skill("run", "named", "--home", other, "--json-out", tmp_path / "result.json")
    assert out.returncode == 0, out.stderr
    result = json.loads(out.stdout)
    assert (tmp_path / "result.json").read_text() == out.stdout
    assert result["result"] == {"file": str(other / ".zorvik/skill_output/named/out.txt"), "home": str(other)}
    assert json.loads((other / ".zorvik/skill_state/named.json").read_text()) == {"seen": True}
    assert not (home / ".zorvik").exists()


@pytest.mark.parametrize(
    "returns, warning",
    [
        ("None", 'run() returned None; return a dict such as {"success": True, ...} to report a result'),
        ("[1, 2]", 'run() returned list, not a dict; the result holds its text under "result"'),
        ("ctx.shell('true')", "run() returned a coroutine object (ZorvikContext.shell, made at {path}:5): did you forget an await?"),
        ("{'items': [helper()]}",
         "result['items'][0] is a coroutine object (helper, made at {path}:5): did you forget an await?"),
        ("{'result': 'None'}", None),
        ("(r := {}).update(a=r, b=r, c=r) or r",
         "converted for JSON: result['a'] cycle → '<cycle>'; result['b'] cycle → '<cycle>'; result['c'] cycle → "
         "'<cycle>'"),
    ],
)
def test_warnings_after_a_successful_run(tmp_path, returns, warning):
    path = skill(tmp_path, f"""
        async def helper():
            return 1
        async def run(ctx, params):
            return {returns}
    """)
    out = zorvik_skill("run", path)
    assert out.returncode == 0
    tail = out.stderr.splitlines()[-1]
    if warning:
        assert tail == f"zorvik-skill: warning: {warning.replace('{path}', str(path))}"
    else:
        assert "warning" not in out.stderr
    assert "never awaited" not in out.stderr


@pytest.mark.parametrize(
    "taken, tools, warned",
    [((), [None, None, None, "zorvik-skill", None, None], True),
     ((3,), [None, None, None, "other", "zorvik-skill", None], True),
     ((3, 4), [None, None, None, "other", "other", None], False)],
    ids=["3-free", "4-free", "none-free"],
)
def test_the_return_watch_takes_a_free_monitoring_tool_id_or_none(tmp_path, taken, tools, warned):
    path = skill(tmp_path, """
        import sys
        async def run(ctx, params):
            ctx.log(repr([sys.monitoring.get_tool(tool) for tool in range(6)]))
    """)
    code = (f"import sys\nfor tool in {taken!r}: sys.monitoring.use_tool_id(tool, 'other')\n"
            f"from zorvik.cli import main\nsys.exit(main(['run', {str(path)!r}]))\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                         env=dict(os.environ, PYTHONPATH=str(SRC)))
    assert out.returncode == 0, out.stderr
    assert messages(json.loads(out.stdout)["logs"])[1] == repr(tools)
    assert ("zorvik-skill: warning: run() returned None" in out.stderr) == warned


@pytest.mark.parametrize(
    "source, problem",
    [
        ("async def run(ctx, params)\n    return {}\n", "1:27: syntax error: expected ':'"),
        ("def helper(ctx, params):\n    return {}\n", "1: no function run: a skill defines async def run(ctx, params)"),
        ("import asyncio\n\ndef run(ctx, params):\n    return {}\n",
         "3: run is not async: define it as async def run(ctx, params)"),
        ("async def run(ctx):\n    return {}\n",
         "1: run(ctx) cannot take (ctx, params): the engine passes two arguments"),
        ("async def run(ctx, params, extra):\n    return {}\n",
         "1: run(ctx, params, extra) cannot take (ctx, params): it needs 3 positional arguments"),
        ("async def run(ctx, params, *, key):\n    return {}\n",
         "1: run(ctx, params, *, key) cannot take (ctx, params): it needs the keyword argument key"),
        ("async def run(ctx, params):\n    return {}\n\nrun = 3\n",
         "4: run is 3, not a function: a skill defines async def run(ctx, params)"),
        ("open('ran', 'w')\ntry:\n    import fast as run\nexcept ImportError:\n    async def run(*args):\n"
         "        return {}\n", None),
    ],
    ids=["syntax", "no-run", "not-async", "too-few", "too-many", "keyword-only", "rebound-literal", "conditional"],
)
def test_check_reads_without_running(tmp_path, monkeypatch, source, problem):
    monkeypatch.chdir(tmp_path)
    path = tmp_path / "checked.py"
    path.write_text(source)
    out = zorvik_skill("check", path)
    assert (out.returncode, out.stdout) == ((1, f"{path}:{problem}\n") if problem else (0, f"{path}: ok\n"))
    assert not (tmp_path / "ran").exists()


CHECKED = """\
import asyncio, time
from subprocess import run as sh
import requests, urllib.request

async def run(c, params):
    c.browser_navigte("https://a.example/")
    c.llm_ask("dropped")
    reply = c.llm_json("q").get("a")
    first = c.llm_json("q")["a"]
    for line in c.shell("ls"):
        pass
    await asyncio.gather(c.llm_ask("a"), asyncio.wait_for(c.shell("ls"), 5))
    task = asyncio.create_task(c.browser_get_text())
    c.cache = {}
    time.sleep(1); sh(["ls"]); requests.get("u"); urllib.request.urlopen("u")
    return {"cached": c.cache, "name": c.skill_name, "logs": c.get_logs(), "text": await task, "x": c.zzzq}

def in_a_thread(c):
    time.sleep(1)
    return c.anything
"""


@pytest.mark.parametrize(
    "source, found",
    [
        (CHECKED, [
            "6: c.browser_navigte: the context has no attribute 'browser_navigte'; did you mean c.browser_navigate?",
            "7: c.llm_ask(...) is not awaited, so it never runs: write await c.llm_ask(...)",
            "8: c.llm_json(...).get is looked up on the coroutine, not its result: write (await c.llm_json(...)).get",
            "9: c.llm_json(...)[...] subscripts the coroutine, not its result: write (await c.llm_json(...))[...]",
            "10: iterating over c.shell(...) iterates the coroutine, not its result: "
            "write: for ... in await c.shell(...)",
            "15: warning: time.sleep(...) blocks the event loop, and the whole run with it: "
            "use await asyncio.sleep(...)",
            "15: warning: sh(...) (subprocess.run) blocks the event loop, and the whole run with it: "
            "use await c.shell(...)",
            "15: warning: requests.get(...) blocks the event loop, and the whole run with it: "
            "use await asyncio.to_thread(requests.get, ...)",
            "15: warning: urllib.request.urlopen(...) blocks the event loop, and the whole run with it: "
            "use await asyncio.to_thread(urllib.request.urlopen, ...)",
            "16: c.zzzq: the context has no attribute 'zzzq'; help(ZorvikContext) lists what it has"]),
        ("async def run(ctx, params):\n    await ctx.browser_select_option('#a', 'b')\n    return ctx.LLM_ask\n",
         ["2: ctx.browser_select_option: the context has no attribute 'browser_select_option'; "
          "help(ZorvikContext) lists what it has",
          "3: ctx.LLM_ask: the context has no attribute 'LLM_ask'; did you mean ctx.llm_ask?"]),
        ("import time\nasync def run(ctx, params):\n    time.sleep(1)\n",
         ["3: warning: time.sleep(...) blocks the event loop, and the whole run with it: use await asyncio.sleep(...)",
          "ok (1 warning)"]),
        ("run = lambda ctx, params: {}\n",
         ["1: run is a lambda, which cannot be awaited: a skill defines async def run(ctx, params)"]),
        ("def helper(ctx, params):\n    return {}\nrun = helper\n",
         ["3: run is helper (line 1), which is not async: define it as async def helper(ctx, params)"]),
        ("async def helper(ctx):\n    return {}\nrun = helper\n",
         ["1: helper(ctx) cannot take (ctx, params): the engine passes two arguments"]),
        ("async def helper(ctx, params):\n    ctx.log('x')\nrun = helper\n", ["ok"]),
        ("class Skill:\n    pass\nrun = Skill\n",
         ["3: run is Skill (line 1), a class: a skill defines async def run(ctx, params)"]),
        ("impl = lambda ctx, params: {}\nrun = impl\n",
         ["2: run is impl (line 1), a lambda, which cannot be awaited: a skill defines async def run(ctx, params)"]),
        ("async def run(ctx):\n    return {}\nrun.timeout = 60\n",
         ["1: run(ctx) cannot take (ctx, params): the engine passes two arguments"]),
        ("async def run(ctx, params):\n    ctx = params['other']\n    ctx.anything()\n", ["ok"]),
        ("from asyncio import sleep\ndef pause():\n    from time import sleep\n    sleep(1)\n"
         "async def run(ctx, params):\n    await sleep(1)\n", ["ok"]),
    ],
    ids=["mistakes", "pythons-hint", "warning-only", "lambda", "plain-def-alias", "alias-signature", "async-alias",
         "class-alias", "lambda-alias", "attribute-set", "rebound-ctx", "import-elsewhere"],
)
def test_check_finds_the_common_mistakes(tmp_path, capsys, source, found):
    path = tmp_path / "checked.py"
    path.write_text(source)
    status = cli.main(["check", str(path)])
    lines = [f"{path}:{line}" if not line.startswith("ok") else f"{path}: {line}" for line in found]
    assert (status, capsys.readouterr().out.splitlines()) == (1 if "ok" not in found[-1] else 0, lines)


def test_new_writes_a_skill_that_checks_runs_and_is_listed(tmp_path, home):
    made = zorvik_skill("new", "greeter")
    path = home / ".zorvik" / "skills" / "greeter.py"
    assert (made.returncode, made.stdout) == (0, f"{path}\n")
    assert zorvik_skill("check", "greeter").returncode == 0
    for runs in (1, 2):
        out = zorvik_skill("run", "greeter", "who=Ada")
        assert out.returncode == 0, out.stderr
        result = json.loads(out.stdout)
        assert result["result"] == {"success": True, "who": "Ada", "runs": runs, "file": result["output_files"][0]}
        assert "warning" not in out.stderr
    assert pathlib.Path(result["output_files"][0]).read_text() == "Hello, Ada! This is run 2.\n"
    skill(path.parent, '"""Second skill.\n\nMore text."""\nasync def run(ctx, params):\n    pass\n',
          name="another")
    skill(path.parent, '"""A helper the skills import, without run."""\n', name="helper")
    listed = zorvik_skill("list")
    assert listed.stdout.splitlines() == [
        "another  Second skill.",
        "greeter  greeter: say in this first line what the skill does (zorvik-skill list shows it).",
    ]
    again = zorvik_skill("new", "greeter", "--dir", tmp_path / "elsewhere")
    assert again.returncode == 0 and (tmp_path / "elsewhere" / "greeter.py").is_file()
    other = tmp_path / "other home"
    elsewhere = zorvik_skill("new", "greeter", "--home", other)
    assert elsewhere.stderr == f"Run it with: zorvik-skill run greeter --home '{other}' who=Ada\n"
    assert zorvik_skill("check", "greeter", "--home", other).stdout == \
        f"{other}/.zorvik/skills/greeter.py: ok\n"
    refused = zorvik_skill("new", "greeter")
    assert (refused.returncode, refused.stderr) == (1, f"zorvik-skill: {path} already exists; not overwriting it\n")


@pytest.mark.browser
@pytest.mark.skipif(bool(os.environ.get("ZORVIK_SKIP_BROWSER")), reason="ZORVIK_SKIP_BROWSER is set")
@pytest.mark.parametrize("stop", ["timeout", "interrupt"])
def test_a_run_stuck_in_a_browser_wait_is_stopped_without_leftovers(tmp_path, stop):
    pytest.importorskip("playwright.async_api")
    page = tmp_path / "page.html"
    page.write_text("<!doctype html><p>nothing to wait for</p>")
    path = skill(tmp_path, f"""
        async def run(ctx, params):
            await ctx.browser_navigate({page.as_uri()!r})
            ctx.log("waiting")
            await ctx.browser_wait("#never", timeout=120000)
    """)
    mark = uuid.uuid4().hex
    argv, env = command("run", path, *(["--timeout", "8"] if stop == "timeout" else []), mark=mark)
    with subprocess.Popen(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as proc:
        assert any(line.endswith("] waiting\n") for line in proc.stderr)
        if stop == "interrupt":
            proc.send_signal(signal.SIGINT)
        stdout, _ = proc.communicate(timeout=60)
    assert proc.returncode == (124 if stop == "timeout" else 130)
    result = json.loads(stdout)
    assert messages(result["logs"]) == ["Starting skill: skill", "Browser opened", f"Navigated to {page.as_uri()}",
                                        "waiting", "Browser closed"]
    assert marked_processes(mark) == []
