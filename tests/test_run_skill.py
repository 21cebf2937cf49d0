"""The example host runner: parameters from the command line, streamed log, result and exit status."""

import importlib.util
import json
import pathlib
import subprocess
import sys

import pytest

SCRIPT = pathlib.Path(__file__).parent.parent / "examples" / "run_skill.py"


@pytest.fixture(scope="module")
def cli():
    spec = importlib.util.spec_from_file_location("run_skill", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize(
    "items, params",
    [
        (["n=3", "name=Ada", "tags=[1, \"x\"]", "flag=true", "empty=", "eq=a=b"],
         {"n": 3, "name": "Ada", "tags": [1, "x"], "flag": True, "empty": "", "eq": "a=b"}),
        (['{"n": 3, "deep": {"k": null}}'], {"n": 3, "deep": {"k": None}}),
        ([], {}),
    ],
)
def test_parameters(cli, items, params):
    assert cli.parse_params(items) == params


def run(*args):
    return subprocess.run([sys.executable, str(SCRIPT), *map(str, args)], capture_output=True, text=True, timeout=60)


def test_a_run_streams_its_log_and_prints_its_result(tmp_path):
    skill = tmp_path / "greeter.py"
    skill.write_text(
        "async def run(ctx, params):\n"
        "    ctx.log('hello ' + params['who'])\n"
        "    return {'success': params['n'] > 1, 'n': params['n']}\n"
    )
    ok = run(skill, "who=you", "n=2")
    assert ok.returncode == 0, ok.stderr
    assert [line.split(" ", 1)[1] for line in ok.stderr.splitlines()] == [
        "[greeter] Starting skill: greeter", "[greeter] hello you", "[greeter] Browser closed"]
    result = json.loads(ok.stdout)
    assert result["success"] is True and result["result"] == {"success": True, "n": 2}
    failed = run(skill, '{"who": "me", "n": 1}', "--name", "other")
    assert failed.returncode == 1 and json.loads(failed.stdout)["skill_name"] == "other"


@pytest.mark.parametrize(
    "args, message",
    [
        (["missing.py"], "no skill file at missing.py"),
        ([SCRIPT, "novalue"], "parameter 'novalue' is not of the form key=value"),
        ([SCRIPT, '{"n": '], "parameters are not a valid JSON object: Expecting value: line 1 column 7 (char 6)"),
    ],
)
def test_usage_errors_are_one_line(args, message):
    out = run(*args)
    assert (out.returncode, out.stdout, out.stderr) == (2, "", f"run_skill.py: {message}\n")
