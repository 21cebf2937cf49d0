"""Contained runs: every way a run ends, what it leaves behind (nothing), the host's loop, the spare worker."""

import asyncio
import json
import logging
import os
import pathlib
import subprocess
import sys
import textwrap
import time
import uuid

import pytest

from zorvik.contained import ContainedRunner

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
MARK = "ZORVIK_CONTAINED_TEST"


def skill(tmp_path, body, name="skill"):
    path = tmp_path / f"{name}.py"
    path.write_text(textwrap.dedent(body))
    return str(path)


def marked(mark):
    """Pids of the processes alive with this mark in their environment (what a run started)."""
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and f"{MARK}={mark}".encode() in (entry / "environ").read_bytes().split(b"\0"):
                found.append(int(entry.name))
        except OSError:
            pass
    return found


def settled(mark, within=10.0):
    """The marked processes left once they had ``within`` seconds to go (for ends the host does not wait for)."""
    deadline = time.monotonic() + within
    while marked(mark) and time.monotonic() < deadline:
        time.sleep(0.05)
    return marked(mark)


def messages(logs):
    return [entry.split("] ", 1)[1] for entry in logs]


@pytest.fixture
def mark():
    return uuid.uuid4().hex


ENDINGS = {
    "returns": ("return {'n': params['n'], 'pid': os.getpid() != params['host']}", None),
    "raises": ("raise ValueError('bad')", "ValueError: bad"),
    "exits": ("sys.exit(3)", "SystemExit: 3"),
    "keyboard-interrupt": ("raise KeyboardInterrupt('from the skill')", "KeyboardInterrupt: from the skill"),
    "raises-cancelled": ("raise asyncio.CancelledError('its own')", "CancelledError: its own"),
    "spins": ("while True: pass", "Timed out after 1.5 s"),
    "blocks": ("time.sleep(60)", "Timed out after 1.5 s"),
    "awaits": ("await asyncio.sleep(60)", "Timed out after 1.5 s"),
    "ignores-cancel": ("stubborn()", "Timed out after 1.5 s"),
    "os-exit": ("os._exit(7)", "Skill process exited with status 7"),
    # The default action, past any handler a sanitizer puts in place: the process dies by the signal.
    "crashes": ("signal.signal(signal.SIGSEGV, signal.SIG_DFL); os.kill(os.getpid(), signal.SIGSEGV)", "Skill process ended by signal SIGSEGV"),
    "eats-memory": ("hog()", "Memory limit of 150 MB exceeded"),
}


@pytest.mark.parametrize("ending", ENDINGS)
async def test_every_ending_gives_its_result_and_leaves_nothing(tmp_path, mark, ending):
    body, error = ENDINGS[ending]
    path = skill(tmp_path, f"""
        import asyncio, os, signal, subprocess, sys, time
        def stubborn():
            while True:
                try:
                    time.sleep(60)
                except BaseException:
                    pass
        def hog():
            held = []
            while True:
                held.append(bytearray(8 << 20))
                time.sleep(0.005)
        async def run(ctx, params):
            ctx.write_file("before.txt", "x")
            subprocess.Popen(["sleep", "300"])  # a child the run leaves behind
            ctx.log("working")
            try:
                {body}
            finally:
                ctx.log("finally")
    """)
    entries = []
    async with ContainedRunner(timeout=1.5, memory_mb=150, env={MARK: mark}) as runner:
        result = await runner.run("skill", {"n": 1, "host": os.getpid()}, path, on_log=entries.append)
    assert (result.success, result.error) == (error is None, error)
    assert result.skill_name == "skill"
    assert marked(mark) == []
    start = ["Starting skill: skill", f"Wrote file: {tmp_path}/home/.zorvik/skill_output/skill/before.txt (1 chars)",
             "working"]
    assert messages(entries)[:3] == start
    if error is None:
        assert result.result == {"n": 1, "pid": True}
        assert result.output_files == [start[1].split(" ")[2]]
    elif error.startswith(("Timed out", "Skill process", "Memory")):
        # A cancelled run's finally blocks and clean-up log into the result; a killed one keeps what it logged.
        cancelled = error.startswith("Timed out") and ending != "ignores-cancel"
        assert messages(result.logs) == start + (["finally", "Browser closed"] if cancelled else [])
        assert result.output_files == [start[1].split(" ")[2]]
        assert result.result is None
    else:
        assert messages(result.logs)[:4] == start + ["finally"]
    assert result.logs == entries[:len(result.logs)]


async def test_a_contained_result_is_the_engine_s_result(tmp_path, engine):
    path = skill(tmp_path, """
        async def run(ctx, params):
            ctx.save_state("runs", ctx.load_state("runs", 0) + 1)
            ctx.write_file("out.txt", "x")
            return {"params": params, "success": "yes"}
    """)
    params = {"a": [1, (2, 3)], "b": {"c": None}, "d": 1.5, "e": True}
    in_process = await engine.PythonSkillRunner("model-x").run("same", params, path)
    async with ContainedRunner("model-x") as runner:
        contained = await runner.run("same", params, path)
    assert contained.result == {"params": {"a": [1, [2, 3]], "b": {"c": None}, "d": 1.5, "e": True}, "success": "yes"}
    assert (contained.success, contained.error, contained.output_files, messages(contained.logs)) == (
        in_process.success, in_process.error, in_process.output_files, messages(in_process.logs))
    assert json.loads((engine.STATE_DIR / "same.json").read_text()) == {"runs": 2}


async def test_leftovers_that_left_the_group_and_the_session_are_killed(tmp_path, mark):
    path = skill(tmp_path, """
        import os, subprocess, time
        async def run(ctx, params):
            subprocess.Popen(["setsid", "sleep", "300"])
            if os.fork() == 0:  # a double fork: the grandchild is orphaned at once
                if os.fork() == 0:
                    os.setsid()
                    time.sleep(300)
                os._exit(0)
            await ctx.shell("nohup sleep 300 >/dev/null 2>&1 &")
            time.sleep(0.3)
            if params["stuck"]:
                time.sleep(60)
            return {}
    """)
    async with ContainedRunner(timeout=5, env={MARK: mark}, spare=False) as runner:
        for stuck in (False, True):
            result = await runner.run("skill", {"stuck": stuck}, path)
            assert result.error == ("Timed out after 5 s" if stuck else None)
            assert marked(mark) == []


async def test_a_cancelled_host_task_stops_the_run_and_propagates(tmp_path, mark):
    path = skill(tmp_path, """
        async def run(ctx, params):
            try:
                ctx.log("spinning")
                while True:
                    pass
            finally:
                ctx.log("cleaned up")
    """)
    entries = []
    async with ContainedRunner(env={MARK: mark}) as runner:
        task = asyncio.create_task(runner.run("skill", {}, path, on_log=entries.append))
        while len(entries) < 2:
            await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
    assert messages(entries) == ["Starting skill: skill", "spinning", "cleaned up", "Browser closed"]
    assert marked(mark) == []


async def test_a_memory_limit_below_one_byte_still_holds(tmp_path):
    path = skill(tmp_path, "import time\nasync def run(ctx, params):\n    time.sleep(30)\n")
    async with ContainedRunner(memory_mb=1e-9, spare=False) as runner:
        assert (await runner.run("skill", {}, path)).error == "Memory limit of 1e-09 MB exceeded"


def open_fds():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("moment", ["at-its-start", "after-its-ending", "in-the-grace"])
async def test_a_cancellation_at_any_await_of_a_run_propagates_and_leaves_no_descriptor(tmp_path, moment):
    path = skill(tmp_path, """
        import signal, time
        async def run(ctx, params):
            if params["stubborn"]:
                signal.signal(signal.SIGTERM, signal.SIG_IGN)
                time.sleep(60)
            return {}
    """)
    before = open_fds()
    async with ContainedRunner(timeout=0.5) as runner:
        worker = runner._spare
        await worker.ready
        task = asyncio.create_task(runner.run("skill", {"stubborn": moment == "in-the-grace"}, path))
        await asyncio.sleep(0)
        if moment == "after-its-ending":  # the supervisor is still to exit
            while not worker.ended.done():
                await asyncio.sleep(0)
        elif moment == "in-the-grace":  # the time-out's cancellation went unheeded
            await asyncio.sleep(1)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        assert worker.exited.done()
    assert open_fds() == before


async def test_the_host_loop_runs_on_while_skills_spin_and_runs_overlap(tmp_path):
    path = skill(tmp_path, """
        import os, time
        async def run(ctx, params):
            end = time.monotonic() + 1.5
            while time.monotonic() < end:
                pass
            return {"pid": os.getpid()}
    """)
    ticks = 0

    async def ticker():
        nonlocal ticks
        while True:
            await asyncio.sleep(0.01)
            ticks += 1

    counting = asyncio.create_task(ticker())
    async with ContainedRunner() as runner:
        started = time.monotonic()
        results = await asyncio.gather(*(runner.run("skill", {}, path) for _ in range(2)))
        took = time.monotonic() - started
    counting.cancel()
    assert len({result.result["pid"] for result in results}) == 2
    assert took < 2.9  # the two ran at once
    assert ticks > 50


async def test_the_spare_serves_one_run_follows_the_environment_and_dies_with_the_runner(tmp_path, mark, monkeypatch):
    path = skill(tmp_path, """
        import os
        async def run(ctx, params):
            return {"pid": os.getpid(), "seen": os.environ.get("SEEN"), "gone": os.environ.get("GONE")}
    """)
    monkeypatch.setenv("GONE", "host value")
    async with ContainedRunner(env={MARK: mark, "GONE": None}) as runner:
        spare = runner._spare
        await spare.ready
        first = await runner.run("skill", {}, path)
        await runner._spare.ready
        monkeypatch.setenv("SEEN", "after")  # the ready spare no longer matches: discarded
        second = await runner.run("skill", {}, path)
        assert runner._spare is not None
    assert first.result["pid"] != second.result["pid"]
    assert (first.result["seen"], second.result["seen"], second.result["gone"]) == (None, "after", None)
    assert settled(mark) == []  # the discarded spare ends by itself


@pytest.mark.parametrize("holds", ["spare", "run"])
def test_workers_die_with_the_host(tmp_path, mark, holds):
    path = skill(tmp_path, """
        import subprocess
        async def run(ctx, params):
            subprocess.Popen(["setsid", "sleep", "300"])
            ctx.log("started")
            while True:
                pass
    """)
    host = tmp_path / "host.py"
    host.write_text(textwrap.dedent(f"""
        import asyncio, sys
        from zorvik.contained import ContainedRunner
        async def main():
            async with ContainedRunner(env={{{MARK!r}: {mark!r}}}) as runner:
                await runner._spare.ready
                if {holds == "run"}:
                    await runner.run("skill", {{}}, {path!r}, on_log=lambda entry: print(entry, flush=True))
                print("ready", flush=True)
                await asyncio.sleep(300)
        asyncio.run(main())
    """))
    env = dict(os.environ, PYTHONPATH=str(SRC))
    with subprocess.Popen([sys.executable, str(host)], stdout=subprocess.PIPE, text=True, env=env) as process:
        line = process.stdout.readline()
        if holds == "run":
            while not line.endswith("started\n"):
                line = process.stdout.readline()
        assert marked(mark)
        process.kill()
    assert settled(mark) == []


@pytest.mark.parametrize(
    "params, message",
    [
        ({"when": pathlib.Path("/x")}, "params['when']: PosixPath"),
        ({"a": [1, float("nan")]}, "params['a'][1]: nan"),
        ({"a": {2: "x"}}, "params['a'][2]: int key"),
        ({"s": {1}}, "params['s']: set"),
        ({"n": [10**5000]}, "params['n'][0]: int of more than 4300 digits"),
    ],
)
async def test_parameters_that_cannot_travel_are_refused_before_any_worker_starts(params, message):
    runner = ContainedRunner(spare=False)
    with pytest.raises(TypeError) as caught:
        await runner.run("skill", params)
    assert str(caught.value) == (f"{message} cannot be passed to a contained run (it takes dicts with str keys, "
                                 f"lists, tuples, str, int, finite float, bool and None)")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda r: r.run(1, {}), "Argument 'skill_name' has incorrect type (expected str, got int)"),
        (lambda r: r.run("x", []), "Argument 'params' has incorrect type (expected dict, got list)"),
        (lambda r: r.run("x", {}, 3), "Argument 'script_path' has incorrect type (expected str, got int)"),
    ],
)
async def test_wrong_arguments_get_the_engine_s_errors(call, message):
    with pytest.raises(TypeError) as caught:
        await call(ContainedRunner(spare=False))
    assert str(caught.value) == message


async def test_logs_records_and_a_failing_on_log(tmp_path, caplog, engine):
    path = skill(tmp_path, """
        import logging
        async def run(ctx, params):
            ctx.log("one")
            ctx.log("two")
            logging.getLogger("zorvik.skills.skill_engine").info("%d items", "x")  # reported, as logging does
            raise RuntimeError("boom")
    """)
    caplog.set_level(logging.INFO)

    def on_log(entry):
        raise ValueError("listener broke")

    async with ContainedRunner(spare=False) as runner:
        result = await runner.run("skill", {}, path, on_log=on_log)
    assert result.error == "RuntimeError: boom"
    records = [(r.name, r.levelname, r.getMessage().splitlines()[0]) for r in caplog.records]
    engine_records = [record for record in records if record[0] == "zorvik.skills.skill_engine"]
    assert engine_records == [
        ("zorvik.skills.skill_engine", "INFO", "[skill] Starting skill: skill"),
        ("zorvik.skills.skill_engine", "INFO", "[skill] one"),
        ("zorvik.skills.skill_engine", "INFO", "[skill] two"),
        ("zorvik.skills.skill_engine", "INFO", "[skill] FATAL ERROR: boom"),
        ("zorvik.skills.skill_engine", "ERROR", "Python skill skill failed:"),
        ("zorvik.skills.skill_engine", "INFO", "[skill] Browser closed"),
    ]
    failed = next(r for r in caplog.records if r.levelname == "ERROR" and r.name == "zorvik.skills.skill_engine")
    assert 'raise RuntimeError("boom")' in failed.getMessage()
    assert records.count(("zorvik.contained", "ERROR", "on_log raised an exception; the run goes on")) == 5


async def test_odd_names_parameters_and_huge_log_lines_travel_whole(tmp_path):
    path = skill(tmp_path, """
        async def run(ctx, params):
            ctx.log("x" * (24 << 20))
            ctx.log(params["ключ"][1])
            return {"params": params}
    """, name="naïve 名前\n")
    params = {"ключ": ["値", "a\u2028b\nc \udce9"]}
    entries = []
    async with ContainedRunner(timeout=4, spare=False) as runner:  # time enough, unless reading is quadratic
        result = await runner.run("naïve 名前", params, path, on_log=entries.append)
    assert (result.error, result.result) == (None, {"params": params})
    assert messages(result.logs)[1:3] == ["x" * (24 << 20), params["ключ"][1]]
    assert entries[:3] == result.logs[:3]


async def test_directories_home_and_helpers_beside_each_skill(tmp_path, engine, monkeypatch):
    for name, answer in (("a", "first"), ("b", "second")):
        (tmp_path / name).mkdir()
        (tmp_path / name / "helper.py").write_text(f"ANSWER = {answer!r}\n")
        skill(tmp_path / name, """
            import os, helper
            async def run(ctx, params):
                return {"answer": helper.ANSWER, "home": os.environ["HOME"], "file": ctx.write_file("f.txt", "x")}
        """)
    elsewhere = tmp_path / "elsewhere"
    monkeypatch.setattr(engine, "OUTPUT_DIR", elsewhere)
    async with ContainedRunner() as runner:
        first = await runner.run("a", {}, str(tmp_path / "a" / "skill.py"))
        second = await runner.run("b", {}, str(tmp_path / "b" / "skill.py"))
        (tmp_path / "a" / "helper.py").write_text("ANSWER = 'edited'\n")
        again = await runner.run("a", {}, str(tmp_path / "a" / "skill.py"))
    assert [r.result["answer"] for r in (first, second, again)] == ["first", "second", "edited"]
    assert first.result["file"] == str(elsewhere / "a" / "f.txt")
    monkeypatch.undo()
    homed = tmp_path / "other"
    async with ContainedRunner(home=homed) as runner:
        result = await runner.run("b", {}, str(tmp_path / "b" / "skill.py"))
    assert result.result["home"] == str(homed)
    assert result.result["file"] == str(homed / ".zorvik" / "skill_output" / "b" / "f.txt")


@pytest.mark.parametrize("name", ["path", "argv"])
async def test_a_host_with_a_path_object_in_sys_path_or_argv_runs_skills(tmp_path, mark, monkeypatch, name):
    monkeypatch.setattr(sys, name, [*getattr(sys, name), pathlib.Path("/nowhere")])
    path = skill(tmp_path, """
        import sys
        async def run(ctx, params):
            return {"last": sys.argv[-1], "path": "/nowhere" in sys.path}
    """)
    async with ContainedRunner(env={MARK: mark}, spare=False) as runner:
        result = await runner.run("skill", {}, path)
    # The import system skips entries of sys.path that are not str: so does the worker's.
    assert result.result == {"last": "/nowhere" if name == "argv" else sys.argv[-1], "path": False}
    assert marked(mark) == []


async def test_a_result_json_cannot_carry_arrives_converted_with_one_warning(tmp_path, caplog):
    path = skill(tmp_path, """
        import datetime
        async def run(ctx, params):
            result = {"when": datetime.date(2024, 5, 1), "ratio": float("inf"), 1: "one", "1": "uno"}
            result["self"] = [result]
            return result
    """)
    async with ContainedRunner(spare=False) as runner:
        result = await runner.run("skill", {}, path)
    assert result.result == {"when": "2024-05-01", "ratio": None, "1": "uno", "self": ["<cycle>"]}
    warnings = [r.getMessage() for r in caplog.records if r.name == "zorvik.contained"]
    assert warnings == ["skill: converted for JSON: result['when'] date → str(); result['ratio'] inf → null; "
                        "result[1] int key → '1'; result keys 1 and '1' → one key '1' (the later value kept); "
                        "result['self'][0] cycle → '<cycle>'"]
