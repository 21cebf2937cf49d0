"""The worker of one contained run: the process that runs the skill, through the engine's own runner.

Forked by its supervisor, it puts itself in a process group of its own (a
terminal's Ctrl-C is for the host), reads standard input from /dev/null and
sends its standard output to standard error. It imports the engine and makes
its event loop before its job arrives (so a spare has paid for both), reads
its one job, prepares it, waits for the supervisor's ``go`` (no skill code
runs before the supervisor is the subreaper), runs it and exits.

Messages to the host, one JSON object per line on the out pipe:
``{"ready": true}`` once the imports are done; ``{"log": ENTRY}`` for each
entry of the skill's log, as it is written; ``{"record": FIELDS}`` for each
record of the engine's logger; and, unless the run was cancelled, one
``{"result": FIELDS, ...}`` at the end, with what the command reports beside the
result, computed here from the live values: whether ``success`` counts as
true, the conversions its JSON needed, where a failed skill raised, and
(when the job asks for them) the hints about what the skill returned.
"""

import asyncio
import contextlib
import json
import logging
import os
import signal
import sys
import time
import traceback

from zorvik import run_report, strict_json
from zorvik.host import import_engine


def main(job, go, out):
    """The worker's whole life; never returns."""
    status = 70
    try:
        import_engine()  # already there in a fork of the command
        os.setpgid(0, 0)
        null = os.open(os.devnull, os.O_RDONLY)
        os.dup2(null, 0)
        os.close(null)
        os.dup2(2, 1)
        sys.stdout = sys.stderr  # and unbuffered like it, so that what the skill prints shows as it runs
        signal.signal(signal.SIGINT, signal.default_int_handler)
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        cancellation = Cancellation()
        channel = Channel(out, cancellation)
        loop = asyncio.Runner()
        loop.get_loop()
        channel.send({"ready": True})
        request = read_line(job)
        if request:
            Run(json.loads(request), channel, cancellation).go(loop, go)
        status = 0
    except BaseException:
        traceback.print_exc()
    finally:
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (AttributeError, OSError, ValueError):
                pass
        os._exit(status)


def read_line(fd):
    data = bytearray()
    while not data.endswith(b"\n"):
        chunk = os.read(fd, 1 << 16)
        if not chunk:
            break
        data += chunk
    return bytes(data)


class Cancellation:
    """The host's cancellation (SIGTERM from the supervisor), delivered once to the run's task.

    A skill that spins or blocks never returns to the event loop, so a
    cancellation that waited for the loop would never arrive. When the
    signal finds the skill's own code running (a file in the skill's
    directory), the handler raises ``CancelledError`` right there, as Ctrl-C
    raises ``KeyboardInterrupt``; its ``finally`` blocks and the context's
    clean-up then run. Anywhere else (the loop waiting, the engine or a
    library such as Playwright in the middle of its work), the run's task is
    cancelled the usual way, and until that happens a trace function waits
    for the skill's own code to run and raises there. Either way the
    cancellation lands once. Used as a context manager, it holds the
    delivery back until the message being written is whole.
    """

    def __init__(self):
        self.task = self.main = self.loop = self.home = None
        self.held = 0
        self.pending = False
        self.requested = False  # by the host, as against a CancelledError the skill raised itself
        self.signalled_once = False
        self.landed = False

    def arm(self, task, script):
        self.task, self.main, self.loop = task, asyncio.current_task(), task.get_loop()
        self.home = os.path.dirname(os.path.abspath(script)) + os.sep
        signal.signal(signal.SIGTERM, self.signalled)

    def finish(self):
        self.landed = True
        sys.settrace(None)

    def signalled(self, signum, frame):
        self.requested = True
        if self.signalled_once or self.landed:
            return
        if self.held:
            self.pending = True
            return
        self.deliver(frame)

    def deliver(self, frame):
        self.signalled_once = True
        while frame is not None and frame.f_code.co_filename == __file__:  # a held section just ended
            frame = frame.f_back
        current = asyncio.current_task(self.loop)
        if current is not None and current is not self.main and self.in_skill(frame):
            if current is self.task:
                self.land()
            self.loop.call_soon_threadsafe(self.cancel_task)
            raise asyncio.CancelledError  # a task of the skill's own making: it ends, and the run is cancelled
        self.loop.call_soon_threadsafe(self.cancel_task)
        sys.settrace(self.trace)
        while frame is not None:
            frame.f_trace, frame.f_trace_lines = self.trace, True
            frame = frame.f_back

    def in_skill(self, frame):
        return frame is not None and os.path.abspath(frame.f_code.co_filename).startswith(self.home)

    def land(self):
        self.landed = True
        sys.settrace(None)
        raise asyncio.CancelledError

    def cancel_task(self):
        if not self.landed:
            self.landed = True
            sys.settrace(None)
            self.task.cancel()

    def trace(self, frame, event, arg):
        if self.landed:
            return None
        if event in ("call", "line") and self.in_skill(frame) and asyncio.current_task(self.loop) is self.task:
            self.land()
        return self.trace

    def __enter__(self):
        self.held += 1

    def __exit__(self, *exc):
        self.held -= 1
        if not self.held and self.pending:
            self.pending = False
            self.deliver(sys._getframe())


class Channel:
    """The worker's messages to the host: one JSON object per line."""

    def __init__(self, fd, cancellation):
        self.fd = fd
        self.cancellation = cancellation

    def send(self, message):
        data = memoryview((json.dumps(message) + "\n").encode())
        with self.cancellation:
            try:
                while data:
                    data = data[os.write(self.fd, data):]
            except OSError:  # the host is gone, and the supervisor ends this process
                pass


# Attributes of a log record that travel to the host (the message goes formatted).
RECORD_FIELDS = ("name", "levelno", "levelname", "pathname", "filename", "module", "lineno", "funcName", "created",
                 "msecs", "relativeCreated", "thread", "threadName", "processName", "process", "taskName",
                 "stack_info")


class Forward(logging.Handler):
    """Sends the engine's log records to the host (those at the host's level of the engine's logger)."""

    def __init__(self, run, level):
        super().__init__(level)
        self.run = run

    def emit(self, record):
        with self.run.cancellation:
            try:
                fields = {name: getattr(record, name, None) for name in RECORD_FIELDS}
                fields["msg"] = record.getMessage()
                if record.exc_info:
                    fields["exc_text"] = "".join(traceback.format_exception(*record.exc_info)).rstrip("\n")
            except Exception:  # a record whose message cannot be formatted: reported as every handler does
                self.handleError(record)
                return
            self.run.channel.send({"record": fields})


def watched(base, run):
    """The engine's context class with each log entry sent to the host as it is written."""

    class ZorvikContext(base):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            run.context = self

        def log(self, message):
            with run.cancellation:
                super().log(message)
                run.channel.send({"log": self._logs[-1]})
                if run.echo is not None:
                    try:
                        print(self._logs[-1], file=run.echo, flush=True)
                    except (OSError, ValueError):  # stderr closed or a broken pipe: the run goes on
                        run.echo = None

    ZorvikContext.__qualname__ = base.__qualname__
    ZorvikContext.__module__ = base.__module__
    ZorvikContext.__doc__ = base.__doc__
    return ZorvikContext


class Run:
    """One job: the engine's runner inside the worker, its log and result out to the host."""

    def __init__(self, job, channel, cancellation):
        self.job = job
        self.engine = import_engine()
        self.channel = channel
        self.cancellation = cancellation
        self.context = None
        self.raised_watch = run_report.RaisedWatch()
        self.returns = None
        # The command shows the entries here, in order with what the skill itself writes.
        self.echo = sys.stderr if job["echo"] else None
        self.started = time.time()

    def go(self, loop, supervised):
        self.prepare()
        if os.read(supervised, 1) != b"1":
            return  # the supervisor is gone
        with contextlib.ExitStack() as stack:
            if self.job["report"]:
                sys.set_coroutine_origin_tracking_depth(run_report.ORIGIN_DEPTH)
                self.returns = stack.enter_context(run_report.ReturnWatch(self.script()))
            try:
                message = loop.run(self.main())
            except KeyboardInterrupt as e:  # raised by the skill; asyncio lets it out of the loop
                message = self.let_through(e)
        if message is not None:
            self.channel.send(message)

    def prepare(self):
        job = self.job
        engine = self.engine
        env = job["env"]
        for name in [name for name in os.environ if name not in env]:
            del os.environ[name]
        for name, value in env.items():
            if os.environ.get(name) != value:
                os.environ[name] = value
        try:
            os.chdir(job["cwd"])
        except (OSError, TypeError):  # gone since: relative paths fail as they would in the host
            pass
        sys.path[:] = job["path"]
        sys.argv[:] = job["argv"]
        for name, value in job["dirs"].items():
            setattr(engine, name, type(getattr(engine, name))(value))
        logger = engine.logger
        for handler in list(logger.handlers):
            logger.removeHandler(handler)
        logger.addHandler(Forward(self, job["log_level"]))
        logger.addHandler(self.raised_watch)
        logger.setLevel(min(job["log_level"], logging.ERROR))
        logger.propagate = False
        engine.ZorvikContext = watched(engine.ZorvikContext, self)

    async def main(self):
        job = self.job
        runner = self.engine.PythonSkillRunner(job["llm_model"])
        task = asyncio.ensure_future(runner.run(job["skill_name"], job["params"], job["script_path"]))
        self.cancellation.arm(task, self.script())
        try:
            result = await task
        except asyncio.CancelledError as e:
            # The host's cancellation ends the run without a result (the host words it); one the skill
            # raised is an error like any other the engine lets through.
            return None if self.cancellation.requested else self.let_through(e)
        except BaseException as e:  # what the engine lets through, after its clean-up
            return self.let_through(e)
        finally:
            self.cancellation.finish()
        return self.finished(result)

    def finished(self, result):
        success, notes = strict_json.to_plain(result.success, "success")
        plain, more = strict_json.to_plain(result.result, "result")
        raised = self.raised_watch.raised
        failure = None
        if result.error is not None and raised is not None:
            failure = run_report.failure_site(raised, self.script())
        hints = run_report.hints(result, self.returns, self.script()) if self.returns is not None else []
        fields = {"success": success, "skill_name": result.skill_name, "result": plain, "error": result.error,
                  "logs": result.logs, "duration": result.duration, "output_files": result.output_files}
        return {"result": fields, "succeeded": run_report.truth(result.success), "converted": notes + more,
                "failure": failure, "traced": raised is not None, "hints": hints}

    def let_through(self, error):
        """A failed result for an exception the engine does not turn into one, worded as the engine words errors."""
        self.cancellation.finish()
        logs = self.context.get_logs() if self.context is not None else []
        fields = {"success": False, "skill_name": self.job["skill_name"], "result": None,
                  "error": f"{type(error).__name__}: {error}", "logs": logs, "duration": time.time() - self.started,
                  "output_files": []}
        return {"result": fields, "succeeded": False, "converted": [], "hints": [], "traced": False,
                "failure": run_report.failure_site(error, self.script())}

    def script(self):
        path = self.job["script_path"]
        return path if path is not None else os.path.join(self.job["dirs"]["SKILLS_DIR"], f"{self.job['skill_name']}.py")
