"""The context's shell command: output, log line, time-out and error texts, stopping the command."""

import asyncio
import gc
import os
import time

import pytest

TIMEOUT = "[TIMEOUT] Command timed out after "


@pytest.fixture
def ctx(engine):
    yield engine.ZorvikContext("sh")
    # An asyncio transport left unclosed would warn here, and the warning fails the test.
    gc.collect()


def messages(ctx):
    return [entry.split("] ", 1)[1] for entry in ctx.get_logs()]


def group_members(pgid):
    members = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except FileNotFoundError:
                continue
            if int(fields[2]) == pgid and fields[0] != "Z":
                members.append(int(entry))
    return members


async def group_gone(pgid, within=5.0):
    """Whether every process of the group has ended (killed processes take a moment)."""
    deadline = time.monotonic() + within
    while group_members(pgid):
        if time.monotonic() > deadline:
            return False
        await asyncio.sleep(0.02)
    return True


async def pids_written(path, count):
    while not path.exists() or len(path.read_text().split()) < count:
        await asyncio.sleep(0.01)
    return [int(p) for p in path.read_text().split()]


# ---------------------------------------------------------------- output


@pytest.mark.parametrize(
    "command, result, count",
    [
        ("printf a; printf b >&2", "a\nb", 3),
        ("printf 'a\\n'; printf 'b\\n' >&2", "a\n\nb", 5),
        ("printf b >&2", "b", 2),
        ("true", "", 0),
        ("printf '  x  \\n\\n'", "x", 7),
        ("echo out; echo err >&2; exit 3", "out\n\nerr", 9),
        ("printf 'caf\\303\\251 \\342\\206\\222'", "café →", 6),
        ("printf 'a\\377b'; printf '\\376' >&2", "a\ufffdb\n\ufffd", 5),
    ],
)
async def test_output_and_log_line(ctx, command, result, count):
    assert await ctx.shell(command) == result
    assert messages(ctx) == [f"Shell: {command}... → {count} chars"]


async def test_a_missing_command_reports_the_shells_message(ctx):
    result = await ctx.shell("no_such_command_zorvik")
    assert "no_such_command_zorvik" in result and "not found" in result
    assert not result.startswith("[")


@pytest.mark.parametrize("command", ["echo " + "x" * 75, "echo " + "é" * 75])
async def test_long_commands_are_cut_in_the_log(ctx, command):
    await ctx.shell(command)
    assert messages(ctx) == [f"Shell: {command[:50]}... → 76 chars"]


async def test_large_output_on_both_streams_is_read_in_full(ctx):
    command = "head -c 300000 /dev/zero | tr '\\0' a; head -c 200000 /dev/zero | tr '\\0' b >&2"
    assert await ctx.shell(command) == "a" * 300000 + "\n" + "b" * 200000


async def test_commands_run_side_by_side(ctx):
    commands = [f"sleep 0.{n}; echo {n}" for n in range(5, 0, -1)]
    assert await asyncio.gather(*(ctx.shell(c) for c in commands)) == ["5", "4", "3", "2", "1"]
    assert messages(ctx) == [f"Shell: {c}... → 2 chars" for c in reversed(commands)]


# ---------------------------------------------------------------- failures


@pytest.mark.parametrize("timeout, shown", [(0, "0.0"), (1e-05, "1e-05"), (0.25, "0.25"), (1, "1.0")])
async def test_time_out_text(ctx, timeout, shown):
    assert await ctx.shell("sleep 30", timeout) == f"{TIMEOUT}{shown}s"
    assert ctx.get_logs() == []


@pytest.mark.parametrize(
    "command",
    [
        "echo $$ > pids; sleep 30 & echo $! >> pids; sleep 30; wait",
        # The shell is gone at once; its background child keeps the pipes open.
        "echo $$ > pids; sleep 30 & echo $! >> pids",
        "echo $$ > pids; yes & echo $! >> pids; wait",
    ],
)
async def test_time_out_stops_the_whole_command(ctx, tmp_path, monkeypatch, command):
    monkeypatch.chdir(tmp_path)
    assert await ctx.shell(command, timeout=0.5) == f"{TIMEOUT}0.5s"
    shell, child = await pids_written(tmp_path / "pids", 2)
    assert await group_gone(shell)


async def test_cancellation_stops_the_command_and_propagates(ctx, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    task = asyncio.create_task(ctx.shell("echo $$ > pids; sleep 30 & echo $! >> pids; sleep 30; wait"))
    shell, child = await pids_written(tmp_path / "pids", 2)
    assert {shell, child} <= set(group_members(shell))
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert await group_gone(shell)
    assert ctx.get_logs() == []


async def test_an_enclosing_timeout_still_reads_as_its_own(ctx, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(TimeoutError):
        async with asyncio.timeout(0.5):
            await ctx.shell("echo $$ > pids; sleep 30")
    (shell,) = await pids_written(tmp_path / "pids", 1)
    assert await group_gone(shell)


@pytest.mark.parametrize(
    "failure, text",
    [
        (None, "embedded null byte"),
        (PermissionError(13, "Permission denied"), "[Errno 13] Permission denied"),
    ],
)
async def test_other_failures_become_the_error_text(ctx, monkeypatch, failure, text):
    command = "echo a\0b"
    if failure is not None:
        async def refuse(*args, **kwargs):
            raise failure

        monkeypatch.setattr(asyncio, "create_subprocess_shell", refuse)
        command = "echo fine"
    assert await ctx.shell(command) == f"[ERROR] {text}"
    assert ctx.get_logs() == []


@pytest.mark.parametrize(
    "args, message",
    [
        ((None,), "Argument 'command' has incorrect type (expected str, got NoneType)"),
        ((b"ls",), "Argument 'command' has incorrect type (expected str, got bytes)"),
        (("ls", "1"), "must be real number, not str"),
        (("ls", None), "must be real number, not NoneType"),
    ],
)
def test_wrong_argument_types_are_refused_at_the_call(ctx, args, message):
    with pytest.raises(TypeError) as info:
        ctx.shell(*args)
    assert str(info.value) == message
