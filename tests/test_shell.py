"""The context's shell command: output, log line, time-out and error texts, stopping the command."""

import asyncio
import gc
import os
import pathlib
import signal
import time

import pytest

TIMEOUT = "[TIMEOUT] Command timed out after "
# Writes the shell's pid (its process group) and a background child's pid to ./pids.
BACKGROUND = "echo $$ > pids; sleep 30 & echo $! >> pids; "
# The same, with a child that leaves the command's group and session while holding its output pipes.
ESCAPED = "echo $$ > pids; setsid sh -c 'echo $$ >> pids; exec sleep 30' & "
# Every process a test's commands start carries this variable, set to the test's own value.
MARK = "ZORVIK_SHELL_TEST"


@pytest.fixture
def ctx(engine, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    yield engine.ZorvikContext("sh")
    gc.collect()  # an asyncio transport left unclosed warns here, which fails the test


@pytest.fixture
def mark(request, monkeypatch):
    value = f"{os.getpid()}-{request.node.name}"
    monkeypatch.setenv(MARK, value)
    return value


def marked(mark):
    """Live processes whose environment carries the test's mark."""
    needle = f"{MARK}={mark}".encode()
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and live(entry.name) and needle in (entry / "environ").read_bytes().split(b"\0"):
                found.append(int(entry.name))
        except OSError:
            pass
    return found


def messages(ctx):
    return [entry.split("] ", 1)[1] for entry in ctx.get_logs()]


def stat(pid):
    """(state, process group) of a process, or None when it no longer exists."""
    try:
        with open(f"/proc/{pid}/stat") as file:
            state, _, pgrp = file.read().rsplit(")", 1)[1].split()[:3]
    except FileNotFoundError:
        return None
    return state, int(pgrp)


def live(pid):
    info = stat(pid)
    return info is not None and info[0] != "Z"


async def group_pids(count=2):
    pids = pathlib.Path("pids")
    while not pids.exists() or len(pids.read_text().split()) < count:
        await asyncio.sleep(0.01)
    return [int(p) for p in pids.read_text().split()]


async def ended(pids, within=5.0):
    """Killed processes take a moment to end."""
    deadline = time.monotonic() + within
    while any(map(live, pids)) and time.monotonic() < deadline:
        await asyncio.sleep(0.02)
    return not any(map(live, pids))


@pytest.mark.parametrize(
    "command, result, count",
    [
        ("printf a; printf b >&2", "a\nb", 3),
        ("printf 'a\\n'; printf 'b\\n' >&2", "a\n\nb", 5),
        ("printf b >&2", "b", 2),
        ("true", "", 0),
        ("printf '  x  \\n\\n'", "x", 7),
        ("echo out; echo err >&2; exit 3", "out\n\nerr", 9),
        ("printf 'a\\377b'; printf '\\342\\206' >&2", "a\ufffdb\n\ufffd", 5),
    ],
)
async def test_output_and_log_line(ctx, command, result, count):
    assert await ctx.shell(command) == result
    assert messages(ctx) == [f"Shell: {command}... → {count} chars"]


@pytest.mark.parametrize("command", ["echo " + "x" * 75, "echo " + "é" * 75])
async def test_long_commands_are_cut_in_the_log(ctx, command):
    await ctx.shell(command)
    assert messages(ctx) == [f"Shell: {command[:50]}... → 76 chars"]


async def test_large_output_on_both_streams_is_read_in_full(ctx):
    command = "head -c 300000 /dev/zero | tr '\\0' a; head -c 200000 /dev/zero | tr '\\0' b >&2"
    assert await ctx.shell(command) == "a" * 300000 + "\n" + "b" * 200000


async def test_commands_run_side_by_side(ctx):
    commands = [f"sleep 0.{n}; echo {n}" for n in range(5, 0, -1)]
    assert await asyncio.gather(*map(ctx.shell, commands)) == ["5", "4", "3", "2", "1"]
    assert sorted(messages(ctx)) == sorted(f"Shell: {c}... → 2 chars" for c in commands)


@pytest.mark.parametrize("timeout, shown", [(0, "0.0"), (1e-05, "1e-05"), (0.25, "0.25"), (1, "1.0")])
async def test_time_out_text(ctx, timeout, shown):
    assert await ctx.shell("sleep 30", timeout) == f"{TIMEOUT}{shown}s"
    assert ctx.get_logs() == []


@pytest.mark.parametrize(
    "rest",
    [
        "sleep 30; wait",
        "true",  # the shell ends at once; its child keeps the pipes open
        "yes; wait",  # output keeps coming until the kill
    ],
)
async def test_time_out_stops_the_whole_process_group(ctx, rest):
    assert await ctx.shell(BACKGROUND + rest, timeout=0.5) == f"{TIMEOUT}0.5s"
    assert await ended(await group_pids())


async def test_cancellation_stops_the_process_group_and_propagates(ctx):
    task = asyncio.create_task(ctx.shell(BACKGROUND + "sleep 30; wait"))
    shell, child = await group_pids()
    assert stat(shell)[1] == stat(child)[1] == shell  # the command leads a group of its own
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert await ended([shell, child]) and ctx.get_logs() == []


@pytest.mark.parametrize("how", ["time-out", "cancellation"])
async def test_a_process_that_left_the_group_holds_nothing_up(ctx, how):
    task = asyncio.create_task(ctx.shell(ESCAPED + "sleep 30; wait", timeout=0.5 if how == "time-out" else 30))
    shell, helper = await group_pids()
    try:
        assert stat(helper)[1] != shell
        if how == "cancellation":
            task.cancel()
        # The time limit and a moment; the helper holds the pipes for 30 s.
        await asyncio.wait([task], timeout=2.5)
        assert task.done()
        if how == "time-out":
            assert task.result() == f"{TIMEOUT}0.5s"
        else:
            assert task.cancelled()
        assert await ended([shell]) and live(helper)
    finally:
        os.kill(helper, signal.SIGKILL)
        task.cancel()
        await asyncio.wait([task])


async def none_left(mark, within=5.0):
    deadline = time.monotonic() + within
    while marked(mark) and time.monotonic() < deadline:
        await asyncio.sleep(0.02)
    return marked(mark) == []


def busy_step():
    """Holds the loop up for a moment, as a busy host does: the shell gets going
    while asyncio is still setting its process up."""
    time.sleep(0.002)


@pytest.mark.parametrize("steps", range(1, 7))
async def test_a_cancellation_while_the_process_is_created_leaves_nothing_running(ctx, mark, steps):
    task = asyncio.create_task(ctx.shell("sleep 30 & sleep 30; wait"))
    for _ in range(steps):
        busy_step()
        await asyncio.sleep(0)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert task.cancelling() == 1
    assert await none_left(mark) and ctx.get_logs() == []


async def test_a_second_cancellation_leaves_at_once_and_the_command_is_stopped_later(ctx, mark):
    task = asyncio.create_task(ctx.shell("sleep 30 & sleep 30; wait"))
    await asyncio.sleep(0)
    task.cancel()
    busy_step()
    await asyncio.sleep(0)  # the process exists; asyncio has not finished setting it up
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert task.cancelling() == 2
    assert await none_left(mark)
    async with asyncio.timeout(5):  # the late stop reaps it too, closing its transport
        while len(asyncio.all_tasks()) > 1:
            await asyncio.sleep(0.01)


async def test_an_enclosing_timeout_still_reads_as_its_own(ctx):
    with pytest.raises(TimeoutError):
        async with asyncio.timeout(0.5):
            await ctx.shell(BACKGROUND + "sleep 30; wait")
    assert await ended(await group_pids())


async def test_other_failures_become_the_error_text(ctx):
    assert await ctx.shell("echo a\0b") == "[ERROR] embedded null byte"
    assert ctx.get_logs() == []


@pytest.mark.parametrize(
    "args, message",
    [
        ((b"ls",), "Argument 'command' has incorrect type (expected str, got bytes)"),
        (("ls", "1"), "must be real number, not str"),
    ],
)
def test_wrong_argument_types_are_refused_at_the_call(ctx, args, message):
    with pytest.raises(TypeError) as info:
        ctx.shell(*args)
    assert str(info.value) == message
