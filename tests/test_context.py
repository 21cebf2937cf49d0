"""ZorvikContext core: construction, the skill's log, clean-up."""

import ast
import logging
import pathlib
import re
import time
import types

import pytest

ATTRIBUTES = ["skill_name", "_llm", "_llm_model", "_browser_instance", "_browser_context", "_page", "_playwright",
              "_logs", "_state_file", "_output_dir"]
ENTRY = re.compile(r"\[\d\d:\d\d:\d\d\] (.*)", re.S)


def test_construction_sets_fields_in_order_and_creates_directories(engine, home):
    client = object()
    ctx = engine.ZorvikContext("demo", client, "m")
    assert list(vars(ctx)) == ATTRIBUTES
    assert (ctx.skill_name, ctx._llm, ctx._llm_model, ctx._logs) == ("demo", client, "m", [])
    assert ctx._state_file == home / ".zorvik" / "skill_state" / "demo.json"
    assert ctx._output_dir == home / ".zorvik" / "skill_output" / "demo"
    assert ctx._output_dir.is_dir() and not ctx._state_file.exists()
    assert vars(engine.ZorvikContext(skill_name="demo"))["_llm_model"] == "gpt-4.1-mini"


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((None,), {}, "Argument 'skill_name' has incorrect type (expected str, got NoneType)"),
        (("s",), {"llm_model": None}, "Argument 'llm_model' has incorrect type (expected str, got NoneType)"),
        ((), {}, "__init__() takes at least 2 positional arguments (1 given)"),
        (("s", None, "m", 1), {}, "__init__() takes at most 4 positional arguments (5 given)"),
    ],
)
def test_construction_refuses_wrong_arguments_before_anything_happens(engine, home, args, kwargs, message):
    with pytest.raises(TypeError) as err:
        engine.ZorvikContext(*args, **kwargs)
    assert str(err.value) == message
    assert not (home / ".zorvik").exists()


def test_log_entries_and_logger_records(engine, caplog):
    caplog.set_level(logging.INFO, "zorvik.skills.skill_engine")
    ctx = engine.ZorvikContext("demo")
    ctx.log("first")
    ctx.log("")
    copy = ctx.get_logs()
    ctx.log("third")
    assert [ENTRY.fullmatch(e).group(1) for e in copy] == ["first", ""]
    assert len(ctx.get_logs()) == 3 and ctx.get_logs() is not ctx._logs
    assert caplog.messages == ["[demo] first", "[demo] ", "[demo] third"]
    with pytest.raises(TypeError) as err:
        ctx.log(3)
    assert str(err.value) == "Argument 'message' has incorrect type (expected str, got int)"
    assert len(ctx.get_logs()) == 3


def freeze_the_module_clock(engine, monkeypatch):
    clock = types.SimpleNamespace(strftime=lambda fmt: "07:00:00" if fmt == "%H:%M:%S" else fmt)
    monkeypatch.setattr(engine, "time", clock)


def freeze_strftime(engine, monkeypatch):
    monkeypatch.setattr(time, "strftime", lambda fmt, *t: "07:00:00")


@pytest.mark.parametrize("freeze", [freeze_the_module_clock, freeze_strftime])
def test_time_stamps_come_from_the_clock_as_bound_at_each_entry(engine, monkeypatch, freeze):
    ctx = engine.ZorvikContext("demo")
    ctx.log("before")
    freeze(engine, monkeypatch)
    ctx.log("frozen")
    monkeypatch.undo()
    ctx.log("after")
    before, frozen, after = ctx.get_logs()
    assert frozen == "[07:00:00] frozen" and ENTRY.fullmatch(before) and ENTRY.fullmatch(after)


def test_methods_are_in_the_order_of_the_class_body(engine):
    stub = ast.parse((pathlib.Path(engine.__file__).parent / "skill_engine.pyi").read_text())
    body = next(n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == "ZorvikContext").body
    declared = [n.name for n in body if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))]
    assert [name for name in vars(engine.ZorvikContext) if name in declared] == declared


async def test_cleanup_without_a_browser_logs_that_it_closed(engine):
    ctx = engine.ZorvikContext("demo")
    assert await ctx.cleanup() is None
    await ctx.cleanup()
    assert [ENTRY.fullmatch(e).group(1) for e in ctx.get_logs()] == ["Browser closed", "Browser closed"]


@pytest.fixture
def quiet_logger(engine):
    """The module logger at WARNING, so INFO records are refused unless a test says otherwise."""
    logger = engine.logger
    logger.setLevel(logging.WARNING)
    yield logger
    logger.setLevel(logging.NOTSET)


def test_logger_level_and_disabled_flag_are_honoured(engine, quiet_logger, monkeypatch, caplog):
    ctx = engine.ZorvikContext("demo")
    ctx.log("refused")
    quiet_logger.setLevel(logging.INFO)
    ctx.log("taken")
    monkeypatch.setattr(quiet_logger, "disabled", True)
    ctx.log("while disabled")
    assert caplog.messages == ["[demo] taken"]
    assert [ENTRY.fullmatch(e).group(1) for e in ctx.get_logs()] == ["refused", "taken", "while disabled"]


def replace_info_on_the_instance(engine, monkeypatch, seen):
    monkeypatch.setitem(vars(engine.logger), "info", seen.append)


def replace_info_on_the_class(engine, monkeypatch, seen):
    monkeypatch.setattr(logging.Logger, "info", lambda self, message: seen.append(message))


def replace_the_level_test(engine, monkeypatch, seen):
    monkeypatch.setattr(logging.Logger, "isEnabledFor", lambda self, level: True)
    monkeypatch.setitem(vars(engine.logger), "handle", lambda record: seen.append(record.getMessage()))


def rebind_the_module_logger(engine, monkeypatch, seen):
    monkeypatch.setattr(engine, "logger", types.SimpleNamespace(info=seen.append))


@pytest.mark.parametrize("arrange", [replace_info_on_the_instance, replace_info_on_the_class,
                                     replace_the_level_test, rebind_the_module_logger])
def test_a_logger_that_is_not_plain_is_always_called(engine, quiet_logger, monkeypatch, arrange):
    ctx = engine.ZorvikContext("demo")
    ctx.log("first")
    seen = []
    arrange(engine, monkeypatch, seen)
    ctx.log("hello")
    assert seen == ["[demo] hello"]
