"""ContainedRunner: the engine's runner, with each run in a worker process of its own."""

import asyncio
import math
import numbers
import os
from collections.abc import Mapping

from zorvik import strict_json
from zorvik.contained.handle import WorkerHandle, logger, make_job
from zorvik.host import home_directories, import_engine

engine = import_engine()


def positive(name, value, unit):
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number of {unit} or None, not {type(value).__name__}")
    if not (value > 0 and math.isfinite(value)):
        raise ValueError(f"{name} must be a positive number of {unit}, not {value!r}")
    return value


class ContainedRunner:
    """Runs skills as ``PythonSkillRunner`` does, each run in a worker process of its own.

    ``run`` takes the engine's arguments and returns the engine's
    ``PythonSkillResult``. The skill cannot freeze the host's event loop, end
    the host, or outlive its run: ``timeout`` (seconds from the start of
    ``run``) cancels the run in the worker and kills it after a grace of 2 s;
    ``memory_mb`` (MiB of resident memory of the worker; commands it starts
    are not counted) kills it; a crash or an exit of the worker ends the run
    with the log so far. After every run, whatever it started is killed.

    ``home`` puts the ``.zorvik`` tree there; ``env`` adds variables to the
    host's environment for the workers (``None`` removes one). With
    ``spare``, a worker is made ready when the runner is entered and again
    as each run takes one, so runs do not wait for an interpreter to start.
    Use it as ``async with ContainedRunner(...) as runner`` (or call
    ``aclose()``); the spare dies with the runner, and every worker with the
    host.
    """

    def __init__(self, llm_model=engine.PythonSkillRunner()._llm_model, *, timeout=None, memory_mb=None, home=None,
                 env=None, spare=True):
        self._engine_runner = engine.PythonSkillRunner(llm_model)
        self._timeout = positive("timeout", timeout, "seconds")
        self._memory_mb = positive("memory_mb", memory_mb, "MiB")
        self._home = None if home is None else os.path.abspath(os.fspath(home))
        if env is not None and not isinstance(env, Mapping):
            raise TypeError(f"env must be a mapping of str to str or None, not {type(env).__name__}")
        self._env = dict(env or {})
        for key, value in self._env.items():
            if not isinstance(key, str) or not (value is None or isinstance(value, str)):
                raise TypeError(f"env must map str to str or None, not {key!r} to {type(value).__name__}")
        self._spare_wanted = bool(spare)
        self._spare = None
        self._loop = None
        self._closed = False

    async def __aenter__(self):
        if self._closed:
            raise RuntimeError("this ContainedRunner is closed")
        self._loop = asyncio.get_running_loop()
        self._prepare_spare(self._environment())
        return self

    async def __aexit__(self, *exc):
        await self.aclose()

    async def aclose(self):
        """Ends the spare worker; runs already started go on to their end."""
        self._closed = True
        spare, self._spare = self._spare, None
        if spare is not None:
            await spare.discard()

    async def run(self, skill_name, params, script_path=None, *, on_log=None):
        """Execute a Python skill in a worker process of its own.

        Args as ``PythonSkillRunner.run``; ``params`` may hold dicts with str
        keys, lists, tuples (they arrive as lists), str, int, finite float,
        bool and None. ``on_log(entry)`` is called on this loop with each log
        entry as the skill writes it. Returns the ``PythonSkillResult``.
        """
        self._engine_runner.run(skill_name, params, script_path).close()  # the engine's argument checks
        plain, refused = strict_json.to_plain(params, "params")
        if refused:
            raise strict_json.refusal(refused)
        if on_log is not None and not callable(on_log):
            raise TypeError(f"on_log must be callable or None, not {type(on_log).__name__}")
        if self._closed:
            raise RuntimeError("this ContainedRunner is closed")
        env = self._environment()
        job = self._job(skill_name, plain, script_path, env)
        worker = self._take_spare(env) or WorkerHandle.spawn(env)
        # The next spare starts once this run's job is on its way.
        asyncio.get_running_loop().call_soon(self._prepare_spare, env)
        outcome = await worker.run(job, timeout=self._timeout, memory_mb=self._memory_mb, on_log=on_log)
        if outcome.converted:
            logger.warning("%s: %s", skill_name, strict_json.summary(outcome.converted))
        return outcome.result

    def _environment(self):
        env = dict(os.environ)
        if self._home is not None:
            env["HOME"] = self._home
        for key, value in self._env.items():
            if value is None:
                env.pop(key, None)
            else:
                env[key] = value
        return env

    def _prepare_spare(self, env):
        """A spare for the next run, on the loop the runner was entered on (none before it is entered)."""
        if (self._spare_wanted and not self._closed and self._spare is None
                and asyncio.get_running_loop() is self._loop):
            self._spare = WorkerHandle.spawn(env)

    def _take_spare(self, env):
        spare, self._spare = self._spare, None
        if spare is None:
            return None
        if spare.env == env and spare.loop is asyncio.get_running_loop() and not spare.exited.done():
            return spare
        spare.kill()  # made under another environment (or another loop): it ends and is reaped by itself
        return None

    def _job(self, skill_name, params, script_path, env):
        dirs = None if self._home is None else home_directories(engine, self._home)
        return make_job(engine, skill_name, params, script_path, self._engine_runner._llm_model, env, dirs)
