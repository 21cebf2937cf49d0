"""The host's side of a contained run: a supervisor and its worker, started ahead of their one job.

Everything the host does with them is non-blocking and driven by its event
loop: the worker's messages arrive through a reader on the out pipe, the
supervisor's exit through a reader on its pidfd, the job is written as the
pipe takes it, and the deadline and the grace are timers.
"""

import asyncio
import json
import logging
import math
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

# The worker module is imported here, so that a fork of the command finds it imported.
from zorvik.contained import supervisor, worker  # noqa: F401
from zorvik.host import DIRECTORIES, import_engine, output_files

logger = logging.getLogger("zorvik.contained")

# How long a cancelled run may take to finish (its finally blocks, the context's clean-up) before it is killed.
GRACE = 2.0
MIB = 1024 * 1024
# Where the zorvik package lies, so that the supervisor's fresh interpreter finds this same copy.
PACKAGE_ROOT = str(Path(__file__).resolve().parent.parent.parent)


class Outcome:
    """How a run ended: the result; how (``result``, ``timeout``, ``memory``, ``exit``, ``signal``); whether
    it succeeded; and, computed by the worker from the live values, the conversions its JSON needed,
    where a failed skill raised and the hints about what it returned."""

    def __init__(self, result, ending, succeeded=False, converted=(), failure=None, traced=False, hints=()):
        self.result = result
        self.ending = ending
        self.succeeded = succeeded
        self.converted = [tuple(note) for note in converted]
        self.failure = failure
        self.traced = traced  # the engine logged the failure's traceback
        self.hints = list(hints)


def make_job(engine, skill_name, params, script_path, llm_model, env, dirs=None, report=False):
    """A worker's job: the run's arguments and what the worker takes over from the host at the start of the
    run (the engine's directories as bound now unless ``dirs`` says otherwise, the environment, the
    working directory, ``sys.path``, ``sys.argv``, the level of the engine's logger). With ``report`` (the
    command), the worker also works out the hints about what the skill returned, and shows each log entry
    on standard error as it is written."""
    if dirs is None:
        dirs = {name: getattr(engine, name) for name in DIRECTORIES}
    try:
        cwd = os.getcwd()
    except OSError:  # removed meanwhile: the worker stays where it is
        cwd = None
    return {"skill_name": skill_name, "params": params, "script_path": script_path, "llm_model": llm_model,
            "dirs": {name: str(directory) for name, directory in dirs.items()}, "env": env, "cwd": cwd,
            # The import system skips entries of sys.path that are not str (a host may add paths).
            "path": [entry for entry in sys.path if isinstance(entry, str)], "argv": list(map(str, sys.argv)),
            "log_level": engine.logger.getEffectiveLevel(), "report": report, "echo": report}


class Forked:
    """A fork of this process that became a supervisor, with the ``poll`` and ``wait`` of ``Popen``."""

    def __init__(self, pid):
        self.pid = pid
        self.returncode = None

    def poll(self, flags=os.WNOHANG):
        if self.returncode is None:
            pid, status = os.waitpid(self.pid, flags)
            if pid:
                self.returncode = os.waitstatus_to_exitcode(status)
        return self.returncode

    def wait(self):
        return self.poll(0)


class WorkerHandle:
    """A supervisor and its worker as the host sees them, from their start to their end.

    ``spawn`` starts them in a fresh interpreter (from a host's event loop);
    ``fork`` makes them from the command's own process before it has a loop
    or a thread. ``run`` gives the worker its one job.
    """

    def __init__(self, env=None):
        self.env = env
        self.control_read, self.control = os.pipe()
        self.out, self.out_write = os.pipe()
        self.job_read, self.job = os.pipe()
        self.process = None
        self.loop = None
        self.pidfd = None
        self.buffer = bytearray()
        self.pending = b""
        self.entries = []
        self.on_log = None
        self.reply = None
        self.ending = None

    def child_ends(self):
        return self.control_read, self.out_write, self.job_read

    def close_child_ends(self):
        for fd in self.child_ends():
            os.close(fd)

    @classmethod
    def spawn(cls, env):
        """A worker in a fresh interpreter under ``env``; called in the thread of the running loop,
        which the supervisor's parent-death signal is tied to."""
        worker = cls(env)
        path = env.get("PYTHONPATH")
        launch = dict(env, PYTHONPATH=PACKAGE_ROOT + (os.pathsep + path if path else ""))
        ends = worker.child_ends()
        try:
            worker.process = subprocess.Popen(
                [sys.executable, "-m", "zorvik.contained", str(os.getpid()), *map(str, ends)],
                pass_fds=ends, stdin=subprocess.DEVNULL, env=launch)
        except BaseException:
            worker.close_child_ends()
            worker.close()
            raise
        worker.close_child_ends()
        worker.attach(asyncio.get_running_loop())
        return worker

    @classmethod
    def fork(cls):
        """A worker forked from this process, which has no event loop and no other thread yet."""
        worker = cls()
        parent = os.getpid()
        for stream in (sys.stdout, sys.stderr):
            stream.flush()
        pid = os.fork()
        if pid == 0:
            supervisor.serve(parent, *worker.child_ends(), close=(worker.control, worker.out, worker.job))
        worker.process = Forked(pid)
        worker.close_child_ends()
        return worker

    def attach(self, loop):
        self.loop = loop
        self.ready = loop.create_future()
        self.ended = loop.create_future()  # the supervisor has killed what was left of the run
        self.exited = loop.create_future()
        os.set_blocking(self.out, False)
        os.set_blocking(self.job, False)
        loop.add_reader(self.out, self.read)
        try:
            self.pidfd = os.pidfd_open(self.process.pid)
        except (AttributeError, OSError):  # no pidfds: a thread waits, as asyncio's own child watcher does then
            loop.run_in_executor(None, self.process.wait).add_done_callback(lambda _: self.supervisor_exited())
        else:
            loop.add_reader(self.pidfd, self.supervisor_exited)

    # ------------------------------------------------------------ the run

    async def run(self, job, *, timeout=None, memory_mb=None, on_log=None, wait_exit=True):
        """Runs the job to its end and returns the ``Outcome``; nothing of the run is left when it returns.

        Raises ``CancelledError`` when the calling task is cancelled, once the
        run is stopped as after a time-out (and the supervisor has exited);
        ``entries`` then holds its log. Without ``wait_exit`` it returns (or
        raises) as soon as the supervisor has ended the run, before the
        supervisor's own exit; the caller then ``reap``s it.
        """
        if self.loop is None:
            self.attach(asyncio.get_running_loop())
        start = time.time()
        self.on_log = on_log
        self.control_line(b"run %d\n" % (math.ceil(memory_mb * MIB) if memory_mb else 0))  # 0: no limit
        self.pending = memoryview((json.dumps(job) + "\n").encode())
        self.write_job()
        timed_out = cancelled = False
        try:
            if not await self.ended_within(timeout):
                timed_out = True
                cancelled = await self.stop()
        except asyncio.CancelledError:
            await self.stop()
            cancelled = True
        if wait_exit:
            cancelled = await self.until(self.exited) or cancelled
        if cancelled:
            raise asyncio.CancelledError
        return self.outcome(job, start, timeout, memory_mb, timed_out)

    async def ended_within(self, seconds):
        done, _ = await asyncio.wait([self.ended], timeout=seconds)
        return bool(done)

    @staticmethod
    async def until(future):
        """Waits for ``future`` through any cancellation of the caller; True when there was one."""
        interrupted = False
        while not future.done():
            try:
                await asyncio.wait([future])
            except asyncio.CancelledError:
                interrupted = True
        return interrupted

    async def stop(self):
        """Cancels the run in the worker, kills everything after the grace, and waits until the supervisor
        has ended the run; True when the waiting task was cancelled meanwhile (which kills at once)."""
        self.control_line(b"cancel\n")
        interrupted = False
        try:
            finished = await self.ended_within(GRACE)
        except asyncio.CancelledError:
            interrupted, finished = True, False
        if not finished:
            self.kill()
        return await self.until(self.ended) or interrupted

    def kill(self):
        """Everything of the run is killed now (the supervisor does it, and then exits)."""
        self.control_line(b"kill\n")

    async def discard(self):
        """Ends an unused worker and waits for its supervisor's exit."""
        self.kill()
        if await self.until(self.exited):
            raise asyncio.CancelledError

    def reap(self):
        """Waits for the supervisor's exit after ``run(..., wait_exit=False)``, once the loop is gone."""
        self.process.wait()
        if self.pidfd is not None:
            os.close(self.pidfd)
            self.pidfd = None
        self.close()

    def outcome(self, job, start, timeout, memory_mb, timed_out):
        if timed_out:
            return self.partial(job, start, f"Timed out after {timeout:g} s", "timeout")
        if self.reply is not None:
            reply = self.reply
            return Outcome(import_engine().PythonSkillResult(**reply["result"]), "result", reply["succeeded"],
                           reply["converted"], reply["failure"], reply["traced"], reply["hints"])
        kind, value = self.ending or self.supervisor_ending()
        if kind == "memory":
            return self.partial(job, start, f"Memory limit of {memory_mb:g} MB exceeded", kind)
        if kind == "signal":
            return self.partial(job, start, f"Skill process ended by signal {signal_name(value)}", kind)
        return self.partial(job, start, f"Skill process exited with status {value}", "exit")

    def supervisor_ending(self):
        """The ending when the supervisor itself died without saying one."""
        code = self.process.returncode
        return ("signal", -code) if code < 0 else ("exit", code)

    def partial(self, job, start, error, ending):
        """The result of a run that ended without one: the log so far and what is in the output directory."""
        name = job["skill_name"]
        result = import_engine().PythonSkillResult(
            success=False, skill_name=name, error=error, logs=list(self.entries), duration=time.time() - start,
            output_files=output_files(Path(job["dirs"]["OUTPUT_DIR"]) / name))
        return Outcome(result, ending)

    # ------------------------------------------------------------ pipes and processes

    def control_line(self, line):
        try:
            os.write(self.control, line)
        except (OSError, TypeError):  # the supervisor is gone (or its pipe closed): its exit tells the rest
            pass

    def write_job(self):
        try:
            while self.pending:
                self.pending = self.pending[os.write(self.job, self.pending):]
        except BlockingIOError:
            self.loop.add_writer(self.job, self.write_job)
            return
        except OSError:  # the worker is gone: its supervisor's ending says how
            pass
        self.loop.remove_writer(self.job)
        os.close(self.job)
        self.job = None

    def read(self, drain=False):
        """Handles the messages that have arrived; with ``drain``, all there are."""
        while True:
            try:
                data = os.read(self.out, 1 << 16)
            except BlockingIOError:
                return
            if not data:
                self.loop.remove_reader(self.out)
                return
            # A message may be megabytes long (a log entry): what came before its end is joined only once.
            end = data.rfind(b"\n")
            if end < 0:
                self.buffer += data
                lines = ()
            else:
                lines = (self.buffer + data[:end]).split(b"\n")
                self.buffer = bytearray(data[end + 1:])
            for line in lines:
                try:
                    self.message(json.loads(line))
                except Exception:
                    logger.exception("unreadable message from a contained run's worker: %.200r", line)
            if not drain:
                return

    def message(self, message):
        if "log" in message:
            entry = message["log"]
            self.entries.append(entry)
            if self.on_log is not None:
                try:
                    self.on_log(entry)
                except Exception:
                    logger.exception("on_log raised an exception; the run goes on")
        elif "record" in message:
            record = logging.makeLogRecord(message["record"])
            target = import_engine().logger
            if target.isEnabledFor(record.levelno):
                target.handle(record)
        elif "result" in message:
            self.reply = message
        elif "ended" in message:
            self.ending = (message["ended"], message["value"])
            if not self.ended.done():
                self.ended.set_result(None)
        elif "ready" in message and not self.ready.done():
            self.ready.set_result(None)

    def supervisor_exited(self):
        if self.process.poll() is None:
            return
        if self.pidfd is not None:
            self.loop.remove_reader(self.pidfd)
            os.close(self.pidfd)
            self.pidfd = None
        self.read(drain=True)
        self.loop.remove_reader(self.out)
        self.close()
        for future in (self.ended, self.exited):
            if not future.done():
                future.set_result(None)

    def close(self):
        if self.job is not None and self.loop is not None and not self.loop.is_closed():
            self.loop.remove_writer(self.job)
        for name in ("out", "control", "job"):
            fd = getattr(self, name)
            if fd is not None:
                os.close(fd)
                setattr(self, name, None)


def signal_name(number):
    try:
        return signal.Signals(number).name
    except ValueError:
        return str(number)
