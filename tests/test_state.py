"""Persistent state: one JSON file per skill, read whole on every call, replaced whole on every save."""

import fcntl
import os
import pathlib
import subprocess
import sys
import threading
import time

import pytest


@pytest.fixture
def ctx(engine):
    return engine.ZorvikContext("news")


@pytest.fixture
def state_file(ctx):
    return ctx._state_file


def leftovers(state_file):
    return sorted(p.name for p in state_file.parent.iterdir() if p != state_file)


def locked(directory):
    """Whether someone holds the state directory's lock (asked through a descriptor of our own)."""
    fd = os.open(directory, os.O_RDONLY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return True
    finally:
        os.close(fd)
    return False


@pytest.fixture
def released(state_file):
    """Asserts, at the end of the test, that no lock is held and no descriptor left open."""
    descriptors = len(os.listdir("/proc/self/fd"))
    yield
    assert not locked(state_file.parent)
    assert len(os.listdir("/proc/self/fd")) == descriptors


def finishes(call, *args):
    """Runs call(*args) in a thread; False if it is still waiting after a while."""
    worker = threading.Thread(target=call, args=args, daemon=True)
    worker.start()
    worker.join(10)
    return not worker.is_alive()


def test_fresh_skill_reads_defaults_and_creates_nothing(ctx, state_file):
    assert (ctx.load_state("k"), ctx.load_state("k", 5), ctx._load_full_state()) == (None, 5, {})
    ctx.clear_state()
    assert not state_file.exists()


def test_file_format_and_member_order(ctx, state_file):
    ctx.save_state("b", 1)
    ctx.save_state("a", {"t": (1, 2), "n": None})
    ctx.save_state("b", "again")
    assert state_file.read_text() == ('{\n  "b": "again",\n  "a": {\n    "t": [\n      1,\n      2\n    ],\n'
                                      '    "n": null\n  }\n}')
    assert ctx.load_state("a") == {"t": [1, 2], "n": None}
    assert leftovers(state_file) == []


@pytest.mark.parametrize(
    ("key", "value", "back", "text"),
    [
        ("k", None, None, '{\n  "k": null\n}'),
        ("k", {3}, "{3}", '{\n  "k": "{3}"\n}'),
        ("clé", "naïve", "naïve", '{\n  "cl\\u00e9": "na\\u00efve"\n}'),
        ("k", {1: "x"}, {"1": "x"}, '{\n  "k": {\n    "1": "x"\n  }\n}'),
    ],
)
def test_values_come_back_as_json_leaves_them(ctx, state_file, key, value, back, text):
    ctx.save_state(key, value)
    assert ctx.load_state(key, "default") == back
    assert state_file.read_text() == text


@pytest.mark.parametrize("content", ["[1, 2]", "null", "42", '"text"', "{not json", b"\xff\xfe{}"])
def test_unusable_file_reads_as_empty_and_is_overwritten(ctx, state_file, content):
    (state_file.write_bytes if isinstance(content, bytes) else state_file.write_text)(content)
    assert ctx.load_state("k", "d") == "d"
    ctx.save_state("k", 1)
    assert state_file.read_text() == '{\n  "k": 1\n}'


def test_directory_in_place_of_the_file_reads_as_empty(ctx, state_file):
    state_file.mkdir()
    assert ctx._load_full_state() == {}


def test_clear_state_removes_everything(ctx, state_file):
    ctx.save_state("a", 1)
    ctx.clear_state()
    assert not state_file.exists() and ctx.load_state("a", "gone") == "gone"
    ctx.save_state("b", 2)
    assert ctx._load_full_state() == {"b": 2}


def test_contexts_of_one_skill_share_the_file(engine, ctx):
    ctx.save_state("a", 1)
    assert engine.ZorvikContext("news").load_state("a") == 1
    assert engine.ZorvikContext("other").load_state("a") is None


def circular():
    value = []
    value.append(value)
    return value


@pytest.mark.parametrize(
    ("key", "value", "error", "message"),
    [
        (1, "v", TypeError, "Argument 'key' has incorrect type (expected str, got int)"),
        ("k", circular(), ValueError, "Circular reference detected"),
        ("k", {(1, 2): "v"}, TypeError, "keys must be str, int, float, bool or None, not tuple"),
    ],
)
def test_failed_saves_leave_the_file_untouched(ctx, state_file, released, key, value, error, message):
    ctx.save_state("kept", True)
    before = state_file.read_bytes()
    with pytest.raises(error) as err:
        ctx.save_state(key, value)
    assert str(err.value) == message
    assert state_file.read_bytes() == before and leftovers(state_file) == []


@pytest.mark.parametrize("failing", ["fchmod", "fsync", "replace"])
def test_failed_write_keeps_the_stored_state(engine, ctx, state_file, released, monkeypatch, failing):
    ctx.save_state("kept", [1, 2])
    before = state_file.read_bytes()

    def broken(*args):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(engine.os, failing, broken)
    with pytest.raises(OSError) as err:
        ctx.save_state("new", "x" * 10000)
    monkeypatch.undo()
    assert err.value.errno == 28
    assert state_file.read_bytes() == before and leftovers(state_file) == []
    assert ctx.load_state("kept") == [1, 2]


def test_replacing_keeps_the_files_permissions(ctx, state_file):
    ctx.save_state("a", 1)
    os.chmod(state_file, 0o600)
    ctx.save_state("b", 2)
    assert state_file.stat().st_mode & 0o777 == 0o600


def test_a_linked_state_file_is_replaced_where_the_link_points(ctx, state_file, tmp_path):
    real = tmp_path / "kept-elsewhere.json"
    real.write_text('{"a": 1}')
    state_file.symlink_to(real)
    ctx.save_state("b", 2)
    assert state_file.is_symlink() and real.read_text() == '{\n  "a": 1,\n  "b": 2\n}'
    assert leftovers(state_file) == [] and sorted(p.name for p in tmp_path.iterdir()) == ["home", real.name]


def test_a_missing_state_directory_is_reported_with_the_state_file(ctx, state_file):
    state_file.parent.rmdir()
    with pytest.raises(FileNotFoundError) as err:
        ctx.save_state("a", 1)
    assert err.value.filename == str(state_file)


# ---------------------------------------------------------------- several savers at once

SAVER = """
import os, sys, time
from zorvik.skills.skill_engine import ZorvikContext

n, signals = sys.argv[1], sys.argv[2]
ctx = ZorvikContext("shared")
open(os.path.join(signals, f"ready-{n}"), "x").close()
while not os.path.exists(os.path.join(signals, "go")):
    time.sleep(0.001)
for k in range(40):
    ctx.save_state(f"{n}-{k}", k)
"""


def test_processes_saving_at_once_keep_every_key(engine, home, tmp_path):
    env = {**os.environ, "HOME": str(home), "PYTHONPATH": os.pathsep.join(sys.path)}
    savers = [subprocess.Popen([sys.executable, "-c", SAVER, str(n), str(tmp_path)], env=env) for n in range(4)]
    while len(list(tmp_path.glob("ready-*"))) < 4 and all(saver.poll() is None for saver in savers):
        time.sleep(0.01)
    (tmp_path / "go").touch()
    assert [saver.wait(timeout=60) for saver in savers] == [0] * 4
    ctx = engine.ZorvikContext("shared")
    assert ctx._load_full_state() == {f"{n}-{k}": k for n in range(4) for k in range(40)}
    assert [p.name for p in ctx._state_file.parent.iterdir()] == ["shared.json"]


@pytest.mark.parametrize("step", ["read", "replace", "remove"])
def test_changes_hold_the_directory_lock(engine, ctx, state_file, released, monkeypatch, step):
    seen = []
    if step == "read":
        original = ctx._load_full_state
        ctx._load_full_state = lambda: seen.append(locked(state_file.parent)) or original()
        ctx.save_state("a", 1)
    else:
        ctx.save_state("a", 1)
        owner, name = (engine.os, "replace") if step == "replace" else (pathlib.Path, "unlink")
        original = getattr(owner, name)

        def probe(*args):
            seen.append(locked(state_file.parent))
            return original(*args)

        monkeypatch.setattr(owner, name, probe)
        ctx.save_state("b", 2) if step == "replace" else ctx.clear_state()
    assert seen == [True]


def test_readers_do_not_wait_for_the_lock(ctx, state_file):
    ctx.save_state("a", 1)
    fd = os.open(state_file.parent, os.O_RDONLY)
    fcntl.flock(fd, fcntl.LOCK_EX)
    try:
        assert finishes(ctx.load_state, "a")
    finally:
        os.close(fd)


def test_a_save_inside_a_save_does_not_wait_for_itself(ctx, state_file, released):
    class SavesWhenShown:
        def __str__(self):
            ctx.save_state("inner", 1)
            return "shown"

    assert finishes(ctx.save_state, "outer", SavesWhenShown())
    assert ctx.load_state("outer") == "shown"


def test_clearing_that_fails_releases_the_lock(ctx, state_file, released):
    state_file.mkdir()
    with pytest.raises(IsADirectoryError):
        ctx.clear_state()


@pytest.mark.parametrize(
    ("value", "unlocking", "raised", "context"),
    [
        ("fine", KeyboardInterrupt, KeyboardInterrupt, None),
        (circular(), KeyboardInterrupt, KeyboardInterrupt, ValueError),
        (circular(), OSError, ValueError, None),
    ],
)
def test_a_failed_release_is_raised_as_a_finally_block_would(ctx, state_file, released, monkeypatch, value,
                                                             unlocking, raised, context):
    real_flock = fcntl.flock

    def flock(fd, operation):
        if operation == fcntl.LOCK_UN:
            raise unlocking()
        return real_flock(fd, operation)

    monkeypatch.setattr(fcntl, "flock", flock)
    with pytest.raises(raised) as err:
        ctx.save_state("k", value)
    assert type(err.value.__context__) is (context or type(None))
    monkeypatch.undo()
    ctx.save_state("after", 1)
    assert ctx.load_state("after") == 1
