"""PythonSkillRunner: loading skill files, the result of every outcome, clean-up, concurrency."""

import asyncio
import logging
import sys
import textwrap

import pytest

LOGGER = "zorvik.skills.skill_engine"
NOT_ASYNC = "run() must be an async function (async def run(ctx, params))"
NO_RUN = "Skill must define 'async def run(ctx, params) -> dict'"


@pytest.fixture
def skills(engine):
    engine.SKILLS_DIR.mkdir(parents=True)
    return engine.SKILLS_DIR


@pytest.fixture
def write_skill(skills):
    def write(name, source, directory=skills, suffix=".py"):
        path = directory / f"{name}{suffix}"
        path.write_text(textwrap.dedent(source))
        return path

    return write


@pytest.fixture
def runner(engine):
    return engine.PythonSkillRunner()


@pytest.fixture
def search_path(monkeypatch):
    monkeypatch.setattr(sys, "path", list(sys.path))
    return sys.path


def messages(result):
    return [entry.split("] ", 1)[1] for entry in result.logs]


def closed(caplog, name):
    return f"[{name}] Browser closed" in caplog.messages


# ---------------------------------------------------------------- calling


def test_constructor_keeps_only_the_model(engine):
    assert engine.PythonSkillRunner().__dict__ == {"_llm_model": "gpt-4.1-mini"}
    assert engine.PythonSkillRunner(llm_model="m").__dict__ == {"_llm_model": "m"}
    with pytest.raises(TypeError) as err:
        engine.PythonSkillRunner(None)
    assert str(err.value) == "Argument 'llm_model' has incorrect type (expected str, got NoneType)"


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((1, {}), {}, "Argument 'skill_name' has incorrect type (expected str, got int)"),
        (("s", []), {}, "Argument 'params' has incorrect type (expected dict, got list)"),
        (("s", {}), {"script_path": b"x.py"}, "Argument 'script_path' has incorrect type (expected str, got bytes)"),
        (("s",), {}, "run() takes at least 3 positional arguments (2 given)"),
        (("s", {}, None, 1), {}, "run() takes at most 4 positional arguments (5 given)"),
    ],
)
def test_run_checks_arguments_at_the_call(runner, args, kwargs, message):
    with pytest.raises(TypeError) as err:
        runner.run(*args, **kwargs)
    assert str(err.value) == message


def test_run_is_a_coroutine_method(runner):
    import inspect

    assert inspect.iscoroutinefunction(runner.run)
    assert runner.run.__doc__.startswith("Execute a Python skill.")


# ---------------------------------------------------------------- outcomes


async def test_missing_script_creates_nothing(engine, runner, home):
    result = await runner.run("news", {})
    assert result == engine.PythonSkillResult(False, "news", error=f"Script not found: {engine.SKILLS_DIR / 'news.py'}")
    assert not (home / ".zorvik").exists()


@pytest.mark.parametrize("name", ["", ".", "..", "a/b", "../news", "a\0b"])
async def test_unsafe_names_are_refused_before_anything_is_created(engine, runner, write_skill, home, name):
    script = write_skill("real", "async def run(ctx, params):\n    return {}\n")
    with pytest.raises(ValueError) as err:
        engine.ZorvikContext(name)
    result = await runner.run(name, {}, str(script))
    assert result == engine.PythonSkillResult(False, name, error=str(err.value))
    assert not (home / ".zorvik" / "skill_output").exists()


async def test_successful_run(engine, runner, write_skill):
    write_skill("demo", """
        async def run(ctx, params):
            ctx.log("working")
            return {"count": params["n"]}
    """)
    result = await runner.run("demo", {"n": 1})
    assert (result.success, result.result, result.error, result.output_files) == (True, {"count": 1}, None, [])
    assert messages(result) == ["Starting skill: demo", "working"]
    assert 0.0 < result.duration < 5.0
    assert (engine.OUTPUT_DIR / "demo").is_dir() and engine.STATE_DIR.is_dir()


@pytest.mark.parametrize(
    ("returned", "success", "result"),
    [
        ("{'success': False, 'error': 'no luck'}", False, {"success": False, "error": "no luck"}),
        ("{'success': 0}", 0, {"success": 0}),
        ("42", True, {"result": "42"}),
        ("None", True, {"result": "None"}),
        ("Answer({'success': 'maybe'})", "maybe", {"success": "maybe"}),
    ],
)
async def test_success_comes_from_the_returned_dict(runner, write_skill, returned, success, result):
    write_skill("answer", f"""
        class Answer(dict):
            pass
        async def run(ctx, params):
            return {returned}
    """)
    outcome = await runner.run("answer", {})
    assert (outcome.success, outcome.result, outcome.error) == (success, result, None)
    assert outcome.success is success or success == 0


@pytest.mark.parametrize(
    ("source", "error"),
    [
        ("def run(ctx, params):\n    return {}\n", NOT_ASYNC),
        ("run = 42\n", NOT_ASYNC),
        ("RUN = None\n", NO_RUN),
    ],
)
async def test_unusable_run_is_reported_and_still_cleaned_up(runner, write_skill, caplog, source, error):
    caplog.set_level(logging.INFO, LOGGER)
    write_skill("odd", source)
    result = await runner.run("odd", {})
    assert (result.success, result.error, result.logs, result.duration) == (False, error, [], 0.0)
    assert closed(caplog, "odd")


async def test_legacy_coroutine_marker_is_accepted(runner, write_skill):
    write_skill("legacy", """
        import asyncio.coroutines
        async def _run(ctx, params):
            return {"via": "marker"}
        def run(ctx, params):
            return _run(ctx, params)
        run._is_coroutine = asyncio.coroutines._is_coroutine
    """)
    assert (await runner.run("legacy", {})).result == {"via": "marker"}


async def test_file_without_a_loader(engine, runner, write_skill, caplog):
    caplog.set_level(logging.INFO, LOGGER)
    script = write_skill("notes", "async def run(ctx, params):\n    return {}\n", suffix=".txt")
    result = await runner.run("notes", {}, str(script))
    assert (result.success, result.error, result.logs) == (False, f"Failed to load module from {script}", [])
    assert closed(caplog, "notes")


WRONG_SIGNATURE = "run() takes 1 positional argument but 2 were given"


@pytest.mark.parametrize(
    ("source", "error", "last", "tail"),
    [
        ("async def run(ctx, params):\n    raise ValueError('bad')\n", "ValueError: bad", "bad", "ValueError: bad"),
        ("async def run(ctx, params):\n    raise RuntimeError\n", "RuntimeError: ", "", "RuntimeError"),
        ("raise KeyError('top')\nasync def run(ctx, params):\n    pass\n", "KeyError: 'top'", "'top'", "KeyError: 'top'"),
        ("async def run(ctx):\n    return {}\n", f"TypeError: {WRONG_SIGNATURE}", WRONG_SIGNATURE, None),
        # A skill that exits fails its run; the host goes on.
        ("import sys\nasync def run(ctx, params):\n    sys.exit('bye')\n", "SystemExit: bye", "bye",
         "SystemExit: bye"),
        ("import sys\nsys.exit(3)\nasync def run(ctx, params):\n    pass\n", "SystemExit: 3", "3", "SystemExit: 3"),
        ("async def run(ctx, params):\n    raise SystemExit\n", "SystemExit: ", "", "SystemExit"),
    ],
)
async def test_exceptions_become_failed_results(runner, write_skill, caplog, source, error, last, tail):
    caplog.set_level(logging.INFO, LOGGER)
    script = write_skill("broken", source)
    result = await runner.run("broken", {})
    assert (result.success, result.error, result.result, result.output_files) == (False, error, None, [])
    assert messages(result)[-1] == "FATAL ERROR: " + last
    assert result.duration > 0.0
    errors = [r.getMessage() for r in caplog.records if r.levelno == logging.ERROR]
    assert len(errors) == 1
    if tail is None:  # raised by the call itself: no frame of the skill to show
        assert errors[0] == f"Python skill broken failed:\n{error}\n"
    else:
        assert errors[0].startswith("Python skill broken failed:\nTraceback (most recent call last):\n")
        assert f'File "{script}"' in errors[0]
        assert errors[0].endswith(f"\n{tail}\n")
    assert closed(caplog, "broken")


@pytest.mark.parametrize("exc", [KeyboardInterrupt, asyncio.CancelledError, GeneratorExit])
@pytest.mark.parametrize("where", ["run", "module"])
async def test_other_base_exceptions_propagate_after_cleanup(runner, write_skill, caplog, exc, where):
    caplog.set_level(logging.INFO, LOGGER)
    raising = f"raise {'asyncio.' if exc is asyncio.CancelledError else ''}{exc.__name__}('out')"
    if where == "run":
        write_skill("leaving", f"import asyncio\nasync def run(ctx, params):\n    {raising}\n")
    else:
        write_skill("leaving", f"import asyncio\n{raising}\nasync def run(ctx, params):\n    pass\n")
    with pytest.raises(exc, match="out"):
        await runner.run("leaving", {})
    assert closed(caplog, "leaving")
    assert not [r for r in caplog.records if r.levelno == logging.ERROR]


async def test_handled_exception_is_restored_after_reporting(runner, write_skill):
    write_skill("fails", "async def run(ctx, params):\n    raise ValueError('inner')\n")
    try:
        raise LookupError("outer")
    except LookupError as outer:
        result = await runner.run("fails", {})
        assert sys.exception() is outer
    assert sys.exception() is None
    assert result.error == "ValueError: inner"


async def test_context_construction_failure_propagates(engine, runner, write_skill, monkeypatch, tmp_path):
    write_skill("demo", "async def run(ctx, params):\n    return {}\n")
    blocker = tmp_path / "file"
    blocker.write_text("")
    monkeypatch.setattr(engine, "OUTPUT_DIR", blocker / "out")
    with pytest.raises(NotADirectoryError):
        await runner.run("demo", {})


@pytest.mark.parametrize("skill_raises", [False, True])
async def test_cleanup_failure_replaces_the_result(engine, runner, write_skill, monkeypatch, skill_raises):
    class Failing(engine.ZorvikContext):
        async def cleanup(self):
            raise OSError("cleanup failed")

    monkeypatch.setattr(engine, "ZorvikContext", Failing)
    write_skill("demo", f"async def run(ctx, params):\n    {'raise ValueError' if skill_raises else 'return {}'}\n")
    with pytest.raises(OSError, match="cleanup failed"):
        await runner.run("demo", {})


# ---------------------------------------------------------------- files and loading


async def test_output_files_lists_files_only(engine, runner, write_skill):
    out = engine.OUTPUT_DIR / "maker"
    (out / "sub").mkdir(parents=True)
    (out / "old.txt").write_text("x")
    write_skill("maker", "async def run(ctx, params):\n    ctx.write_file('new.txt', 'y')\n    return {}\n")
    result = await runner.run("maker", {})
    assert sorted(result.output_files) == [str(out / "new.txt"), str(out / "old.txt")]


@pytest.mark.parametrize(
    ("replacement", "success", "error"),
    [("", True, None), ("open(out, 'w').close()", False, "NotADirectoryError: [Errno 20] Not a directory: '{out}'")],
)
async def test_output_directory_gone_or_replaced(engine, runner, write_skill, replacement, success, error):
    out = engine.OUTPUT_DIR / "vanishing"
    write_skill("vanishing", f"""
        import shutil
        async def run(ctx, params):
            out = str(ctx._output_dir)
            shutil.rmtree(out)
            {replacement}
            return {{}}
    """)
    result = await runner.run("vanishing", {})
    assert (result.success, result.error, result.output_files) == (success, error and error.format(out=out), [])


async def test_each_run_loads_afresh_and_adds_the_directory_once(runner, write_skill, tmp_path, search_path,
                                                                  monkeypatch):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (elsewhere / "helper_for_skill.py").write_text("loads = 0\n")
    monkeypatch.delitem(sys.modules, "helper_for_skill", raising=False)
    script = write_skill("counting", """
        import helper_for_skill
        helper_for_skill.loads += 1
        async def run(ctx, params):
            return {"loads": helper_for_skill.loads}
    """, directory=elsewhere)
    first = await runner.run("counting", {}, str(script))
    second = await runner.run("counting", {}, str(script))
    monkeypatch.delitem(sys.modules, "helper_for_skill")
    assert (first.result, second.result) == ({"loads": 1}, {"loads": 2})
    assert search_path[0] == str(elsewhere) and search_path.count(str(elsewhere)) == 1
    assert "zorvik_skill_counting" not in sys.modules


async def test_relative_script_path_is_taken_from_the_working_directory(runner, write_skill, tmp_path,
                                                                         monkeypatch, search_path):
    write_skill("here", "async def run(ctx, params):\n    return {'ok': 1}\n", directory=tmp_path)
    monkeypatch.chdir(tmp_path)
    assert (await runner.run("here", {}, "here.py")).result == {"ok": 1}


# ---------------------------------------------------------------- concurrency and cancellation

STEPPING = """
    import asyncio
    async def run(ctx, params):
        for step in range(3):
            ctx.log(f"{params['n']}:{step}")
            await asyncio.sleep(0)
        return {"n": params["n"]}
"""


async def test_runs_in_flight_together_keep_their_own_logs(runner, write_skill):
    write_skill("alpha", STEPPING)
    write_skill("beta", STEPPING)
    names = ["alpha", "alpha", "beta", "alpha", "beta"]
    results = await asyncio.gather(*(runner.run(name, {"n": i}) for i, name in enumerate(names)))
    for i, (name, result) in enumerate(zip(names, results)):
        assert (result.skill_name, result.result) == (name, {"n": i})
        assert messages(result) == [f"Starting skill: {name}", f"{i}:0", f"{i}:1", f"{i}:2"]


async def test_cancellation_propagates_after_cleanup(runner, write_skill):
    write_skill("waits", """
        import asyncio
        async def run(ctx, params):
            params["seen"].append(ctx)
            await asyncio.sleep(3600)
    """)
    seen = []
    task = asyncio.create_task(runner.run("waits", {"seen": seen}))
    while not seen:
        await asyncio.sleep(0)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert seen[0].get_logs()[-1].endswith("] Browser closed")
