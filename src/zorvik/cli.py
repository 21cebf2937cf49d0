"""zorvik-skill: run, check, create and list script skills from the command line.

    zorvik-skill run SKILL [PARAM ...] [--timeout SECONDS] [--json-out FILE] [--home DIR]
    zorvik-skill check SKILL
    zorvik-skill new NAME [--dir DIR]
    zorvik-skill list [--home DIR]

Exit status: 0 success, 1 the run (or the check) failed, 2 usage error,
124 the time limit ran out, 130 interrupted.

The command is a host of the skill engine like the application itself: it
runs skills through PythonSkillRunner and reads files without importing
them. Only the standard library and the engine are imported, and the engine
only when the chosen subcommand needs it.
"""

import argparse
import ast
import asyncio
import contextlib
import inspect
import json
import logging
import math
import os
import re
import sys
import time
from pathlib import Path

from zorvik.host import import_engine, zorvik_home

PROG = "zorvik-skill"

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_TIMEOUT = 124
EXIT_INTERRUPTED = 130


class UsageError(Exception):
    """The command line cannot be carried out as given (exit status 2)."""


class CommandFailed(Exception):
    """The command was understood but its work failed (exit status 1)."""


# ---------------------------------------------------------------- arguments


def parse_params(items):
    """The skill's parameter dict from ``key=value`` pairs or one JSON object.

    A value is read as JSON when it parses (``count=3`` is a number,
    ``tags=["a","b"]`` a list) and as text otherwise.
    """
    if len(items) == 1 and items[0].lstrip().startswith("{"):
        try:
            params = json.loads(items[0])
        except json.JSONDecodeError as e:
            raise UsageError(f"parameters are not a valid JSON object: {e}") from None
        if not isinstance(params, dict):
            raise UsageError("parameters must be a JSON object")
        return params
    params = {}
    for item in items:
        key, sep, value = item.partition("=")
        if not sep or not key:
            raise UsageError(f"parameter {item!r} is not of the form key=value")
        try:
            params[key] = json.loads(value)
        except json.JSONDecodeError:
            params[key] = value
    return params


def seconds(text):
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, got {text!r}")
    return value


def resolve_skill(skill, skills_dir):
    """The file and the default skill name for SKILL: a path, or a name in the skills directory."""
    as_path = Path(skill)
    if os.sep in skill or skill.endswith(".py") or as_path.is_file():
        path = as_path
        if not path.exists():
            raise UsageError(f"no skill file at {skill}")
    else:
        path = Path(skills_dir) / f"{skill}.py"
        if not path.exists():
            raise UsageError(f"no skill named {skill!r} in {skills_dir} (give a path to use a file elsewhere)")
    if path.is_dir():
        raise UsageError(f"{path} is a directory, not a skill file")
    if not os.access(path, os.R_OK):
        raise UsageError(f"cannot read {path}: permission denied")
    return path, path.stem


# ---------------------------------------------------------------- run


class RunWatch:
    """Streams a run's log entries as they are written and keeps the run's context.

    The runner builds its context through the module's ``ZorvikContext`` as
    bound when it runs, and every service logs through the context's own
    ``log``; binding a subclass there for the run shows each entry at once,
    and keeps the context so that the entries written so far can still be
    reported after the run was cancelled.
    """

    def __init__(self, engine, stream):
        self.engine = engine
        self.context = None
        self.streaming = True
        watch = self

        class ZorvikContext(engine.ZorvikContext):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
                watch.context = self

            def log(self, message):
                super().log(message)
                if watch.streaming:
                    try:
                        print(self._logs[-1], file=stream, flush=True)
                    except (OSError, ValueError):  # stderr closed or a broken pipe: the run goes on
                        watch.streaming = False

        self.context_type = ZorvikContext

    def __enter__(self):
        self.saved = self.engine.ZorvikContext
        self.engine.ZorvikContext = self.context_type
        return self

    def __exit__(self, *exc):
        self.engine.ZorvikContext = self.saved

    def logs(self):
        return self.context.get_logs() if self.context is not None else []


class ReturnWatch:
    """Catches the value the skill's ``run`` returns, which the runner does not report.

    The runner replaces a value that is not a dict by ``{"result": str(value)}``,
    which cannot be told apart from a skill that returned such a dict. The
    interpreter's monitoring reports the return of the module-level ``run``
    of the skill file; every other function is switched off for the tool
    after its first return, so the run is not slowed down.

    Of the monitoring tool ids, 0 to 2 and 5 belong to debuggers, coverage,
    profilers and optimizers; the watch takes 3 or 4, whichever is free, and
    when neither is, it watches nothing (the run goes on without the
    warnings about the returned value).
    """

    TOOL_NAME = PROG
    TOOL_IDS = (3, 4)

    def __init__(self, path):
        self.filenames = {os.fspath(path), os.path.abspath(path)}
        self.seen = False
        self.value = None
        self.tool = None

    def __enter__(self):
        monitoring = sys.monitoring
        self.tool = next((tool for tool in self.TOOL_IDS if monitoring.get_tool(tool) is None), None)
        if self.tool is None:
            return self
        monitoring.use_tool_id(self.tool, self.TOOL_NAME)
        monitoring.register_callback(self.tool, monitoring.events.PY_RETURN, self.returned)
        monitoring.set_events(self.tool, monitoring.events.PY_RETURN)
        return self

    def returned(self, code, offset, value):
        if code.co_qualname == "run" and code.co_filename in self.filenames:
            self.seen, self.value = True, value
            return None
        return sys.monitoring.DISABLE

    def __exit__(self, *exc):
        if self.tool is not None:
            monitoring = sys.monitoring
            monitoring.set_events(self.tool, 0)
            monitoring.register_callback(self.tool, monitoring.events.PY_RETURN, None)
            monitoring.free_tool_id(self.tool)


@contextlib.contextmanager
def stdout_to_stderr():
    """Sends everything written to standard output during a run to standard error.

    The result is the only thing on standard output. The file descriptor is
    redirected as well as ``sys.stdout``, so that a skill's ``print``, a child
    process it starts and a library writing to descriptor 1 all land on
    standard error.
    """
    sys.stdout.flush()
    try:
        saved_fd = os.dup(1)
        os.dup2(2, 1)
    except OSError:  # no usable descriptor 1: only the Python-level stream is swapped
        saved_fd = None
    try:
        with contextlib.redirect_stdout(sys.stderr):
            try:
                yield
            finally:
                sys.stdout.flush()
    finally:
        if saved_fd is not None:
            os.dup2(saved_fd, 1)
            os.close(saved_fd)


def output_files(engine, name):
    directory = engine.OUTPUT_DIR / name
    try:
        return [str(entry) for entry in directory.iterdir() if entry.is_file()]
    except OSError:
        return []


async def supervise(engine, runner, name, params, path, timeout, watch):
    """Runs the skill; on a time-out or an interrupt, a failed result with the entries logged so far.

    Returns the result and the exit status. Cancelling the run lets the runner
    clean up as it does after every run (the browser it opened is closed, a
    shell command it started is killed) before the cancellation arrives here.
    """
    start = time.time()
    limit = asyncio.timeout(timeout)
    error = None
    try:
        async with limit:
            result = await runner.run(name, params, str(path))
    except TimeoutError:
        if not limit.expired():
            raise
    except asyncio.CancelledError:
        error, status = "Interrupted", EXIT_INTERRUPTED
    else:
        if not limit.expired():
            return result, EXIT_OK if result.success else EXIT_FAILED
        # Otherwise the skill caught the cancellation and went on: the limit still ran out.
    if error is None:
        error, status = f"Timed out after {timeout:g} s", EXIT_TIMEOUT
    partial = engine.PythonSkillResult(
        success=False,
        skill_name=name,
        error=error,
        logs=watch.logs(),
        duration=time.time() - start,
        output_files=output_files(engine, name),
    )
    return partial, status


def awaitables_in(value, where="result", depth=0):
    """Where in a returned value un-awaited coroutines (or other awaitables) sit, as subscript paths."""
    if inspect.isawaitable(value):
        return [(where, value)]
    if depth > 20:
        return []
    found = []
    if isinstance(value, dict):
        for key, item in value.items():
            found += awaitables_in(item, f"{where}[{key!r}]", depth + 1)
    elif isinstance(value, (list, tuple)):
        for index, item in enumerate(value):
            found += awaitables_in(item, f"{where}[{index}]", depth + 1)
    return found


def warnings_for(result, returns):
    """Hints about a successful run whose skill most likely did not mean to return what it did."""
    if returns.seen:
        returned = returns.value
    elif result.result is not None:
        returned = result.result  # the dict the skill returned, or the runner's wrapper of another value
    else:
        return []
    hints = []
    awaitables = awaitables_in(returned)
    for where, awaitable in awaitables:
        name = getattr(awaitable, "__qualname__", type(awaitable).__name__)
        shown = "run() returned" if where == "result" else f"{where} is"
        hints.append(f"{shown} a coroutine object ({name}): did you forget an await?")
        if all(hasattr(awaitable, method) for method in ("send", "throw", "close")):
            awaitable.close()  # warned about here; no second "never awaited" warning at exit
    if returns.seen and not awaitables:
        if returned is None:
            hints.append('run() returned None; return a dict such as {"success": True, ...} to report a result')
        elif not isinstance(returned, dict):
            hints.append(f'run() returned {type(returned).__name__}, not a dict; the result holds its text under "result"')
    return hints


def command_run(args):
    params = parse_params(args.params)
    if args.json_out is not None:
        parent = os.path.dirname(os.path.abspath(args.json_out))
        if not os.path.isdir(parent):
            raise UsageError(f"cannot write {args.json_out}: no directory {parent}")
    engine = import_engine()
    with contextlib.ExitStack() as stack:
        if args.home is not None:
            stack.enter_context(zorvik_home(engine, args.home))
        path, name = resolve_skill(args.skill, engine.SKILLS_DIR)
        name = args.name or name
        runner = engine.PythonSkillRunner(args.model) if args.model else engine.PythonSkillRunner()
        # The engine writes a failed skill's traceback to its logger: shown on request only.
        handler = logging.StreamHandler(sys.stderr) if args.traceback else logging.NullHandler()
        handler.setLevel(logging.ERROR)
        engine.logger.addHandler(handler)
        stack.callback(engine.logger.removeHandler, handler)
        with stdout_to_stderr(), RunWatch(engine, sys.stderr) as watch, ReturnWatch(path) as returns:
            result, status = asyncio.run(supervise(engine, runner, name, params, path, args.timeout, watch))

    text = json.dumps(result.to_dict(), indent=2, ensure_ascii=False, default=str)
    print(text, flush=True)
    if args.json_out is not None:
        try:
            with open(args.json_out, "w", encoding="utf-8") as out:
                out.write(text + "\n")
        except OSError as e:
            raise CommandFailed(f"cannot write {args.json_out}: {e.strerror or e}") from None
    if status == EXIT_OK:
        for hint in warnings_for(result, returns):
            print(f"{PROG}: warning: {hint}", file=sys.stderr)
    elif status == EXIT_FAILED:
        reason = result.error or 'the skill returned "success": false'
        # The engine logs a traceback for exceptions it caught, which is all but SystemExit.
        traced = result.error and not result.error.startswith("SystemExit:")
        more = " (--traceback shows where)" if traced and not args.traceback else ""
        print(f"{PROG}: the run failed: {reason}{more}", file=sys.stderr)
    else:
        print(f"{PROG}: {result.error.lower()}; the run was cancelled", file=sys.stderr)
    return status


# ---------------------------------------------------------------- check


def top_level(statements):
    """Module-level statements in source order, including those inside if/try/with/for blocks."""
    for node in statements:
        yield node
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            continue
        for field in ("body", "orelse", "finalbody"):
            yield from top_level(getattr(node, field, []))
        for inner in getattr(node, "handlers", []) + getattr(node, "cases", []):
            yield from top_level(inner.body)


def binds_run(node):
    if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
        return node.name == "run"
    if isinstance(node, (ast.Import, ast.ImportFrom)):
        return any((alias.asname or alias.name.partition(".")[0]) == "run" for alias in node.names)
    if isinstance(node, ast.Assign):
        targets = node.targets
    elif isinstance(node, (ast.AnnAssign, ast.AugAssign, ast.For, ast.AsyncFor)):
        targets = [node.target]
    elif isinstance(node, (ast.With, ast.AsyncWith)):
        targets = [item.optional_vars for item in node.items if item.optional_vars]
    else:
        return False
    return any(isinstance(n, ast.Name) and n.id == "run" for target in targets for n in ast.walk(target))


def run_problem(tree):
    """What keeps the module-level ``run`` of a parsed skill from being started, as (line, text)."""
    binding = None
    for node in top_level(tree.body):
        if binds_run(node):
            binding = node
    if binding is None:
        return 1, "no function run: a skill defines async def run(ctx, params)"
    if isinstance(binding, ast.ClassDef):
        return binding.lineno, "run is a class: a skill defines async def run(ctx, params)"
    if not isinstance(binding, (ast.FunctionDef, ast.AsyncFunctionDef)) or binding.decorator_list:
        return None  # bound some other way, or decorated: only running it can tell
    if isinstance(binding, ast.FunctionDef):
        return binding.lineno, "run is not async: define it as async def run(ctx, params)"
    a = binding.args
    positional = a.posonlyargs + a.args
    required = len(positional) - len(a.defaults)
    shown = f"run({ast.unparse(a)})"
    if len(positional) < 2 and a.vararg is None:
        return binding.lineno, f"{shown} cannot take (ctx, params): the engine passes two arguments"
    if required > 2:
        return binding.lineno, f"{shown} cannot take (ctx, params): it needs {required} positional arguments"
    missing = [arg.arg for arg, default in zip(a.kwonlyargs, a.kw_defaults) if default is None]
    if missing:
        return binding.lineno, (f"{shown} cannot take (ctx, params): it needs the keyword "
                                f"argument{'s' if len(missing) > 1 else ''} {', '.join(missing)}")
    return None


def check_skill(path):
    """A problem that would keep the skill from starting, as "file:line: text", or None."""
    if path.suffix != ".py":
        return f"{path}:1: not a .py file: the engine loads skills only from Python source files"
    try:
        tree = ast.parse(path.read_bytes(), filename=str(path))
    except SyntaxError as e:
        where = f"{e.lineno}:{e.offset}" if e.offset else f"{e.lineno or 1}"
        return f"{path}:{where}: syntax error: {e.msg}"
    except ValueError as e:  # source with NUL bytes
        return f"{path}:1: cannot be compiled: {e}"
    problem = run_problem(tree)
    return None if problem is None else f"{path}:{problem[0]}: {problem[1]}"


def command_check(args):
    engine = import_engine()
    path, _ = resolve_skill(args.skill, engine.SKILLS_DIR)
    problem = check_skill(path)
    if problem:
        print(problem)
        return EXIT_FAILED
    print(f"{path}: ok")
    return EXIT_OK


# ---------------------------------------------------------------- new


SKILL_TEMPLATE = '''"""{name}: say in this first line what the skill does (zorvik-skill list shows it).

    zorvik-skill run {path} who=Ada

Parameters: who (whom to greet, default "world").
"""

from zorvik.skills.skill_engine import ZorvikContext


async def run(ctx: ZorvikContext, params: dict) -> dict:
    # Parameters arrive as a dict: key=value pairs on the command line, values
    # read as JSON when they parse (count=3 is a number), else as text.
    who = params.get("who", "world")

    # Log entries stream while the skill runs and come back in the result's "logs".
    ctx.log(f"Greeting {{who}}")

    # State is a small JSON store per skill that survives between runs.
    runs = ctx.load_state("runs", 0) + 1
    ctx.save_state("runs", runs)

    # Relative paths land in this skill's output directory; the result lists its files.
    path = ctx.write_file("greeting.txt", f"Hello, {{who}}! This is run {{runs}}.\\n")

    # More of the context, all awaited except create_document:
    #   await ctx.browser_navigate(url); text = await ctx.browser_get_text()
    #   answer = await ctx.llm_ask("question"); data = await ctx.llm_json("answer in JSON")
    #   output = await ctx.shell("ls", timeout=10)      # seconds; never raises
    #   ctx.create_document("Title", text, format="md")

    # Return a dict; its "success" (True when absent) decides the exit status.
    return {{"success": True, "who": who, "runs": runs, "file": path}}
'''


def command_new(args):
    name = args.name.removesuffix(".py")
    if not re.fullmatch(r"[A-Za-z0-9_][A-Za-z0-9_-]*", name):
        raise UsageError(f"{args.name!r} is not a skill name: use letters, digits, '_' and '-'")
    if args.dir is not None:
        directory = Path(args.dir)
    else:
        directory = import_engine().SKILLS_DIR
    path = directory / f"{name}.py"
    if path.exists():
        raise CommandFailed(f"{path} already exists; not overwriting it")
    shown = name if args.dir is None else str(path)
    try:
        directory.mkdir(parents=True, exist_ok=True)
        with open(path, "x", encoding="utf-8") as f:
            f.write(SKILL_TEMPLATE.format(name=name, path=shown))
    except OSError as e:
        raise CommandFailed(f"cannot write {path}: {e.strerror or e}") from None
    print(path)
    print(f"Run it with: {PROG} run {shown} who=Ada", file=sys.stderr)
    return EXIT_OK


# ---------------------------------------------------------------- list


def first_doc_line(path):
    try:
        doc = ast.get_docstring(ast.parse(path.read_bytes(), filename=str(path)))
    except SyntaxError as e:
        return f"(syntax error at line {e.lineno})"
    except (OSError, ValueError) as e:
        return f"(cannot read: {getattr(e, 'strerror', None) or e})"
    return doc.strip().splitlines()[0] if doc and doc.strip() else ""


def command_list(args):
    engine = import_engine()
    with zorvik_home(engine, args.home) if args.home is not None else contextlib.nullcontext():
        skills_dir = engine.SKILLS_DIR
    paths = sorted(skills_dir.glob("*.py")) if skills_dir.is_dir() else []
    if not paths:
        print(f"{PROG}: no skills in {skills_dir}", file=sys.stderr)
        return EXIT_OK
    width = max(len(path.stem) for path in paths)
    for path in paths:
        print(f"{path.stem:<{width}}  {first_doc_line(path)}".rstrip())
    return EXIT_OK


# ---------------------------------------------------------------- command line


def build_parser():
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--traceback", "-v", action="store_true",
                        help="show the full traceback of an error (and of a failed skill)")
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Run, check, create and list Zorvik script skills.",
        epilog="Exit status: 0 success, 1 failed, 2 usage error, 124 time limit ran out, 130 interrupted.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    run = commands.add_parser(
        "run", parents=[common], help="run a skill and print its result as JSON",
        description="Run a skill through the skill engine. The result (JSON) is the only thing on standard "
                    "output; the skill's log streams to standard error as it is written, and so does "
                    "whatever the skill prints.",
        epilog="PARAM is key=value (the value read as JSON when it parses, else as text), or one JSON object. "
               "Exit status: 0 success, 1 failed run, 2 usage error, 124 time limit ran out, 130 interrupted.")
    run.add_argument("skill", metavar="SKILL", help="a .py file, or the name of a skill in the skills directory")
    run.add_argument("params", metavar="PARAM", nargs="*", help="key=value, or one JSON object")
    run.add_argument("--timeout", type=seconds, metavar="SECONDS",
                     help="cancel the run after this long (the browser and shell commands it started are "
                          "stopped) and exit with 124")
    run.add_argument("--json-out", metavar="FILE", help="also write the result to FILE")
    run.add_argument("--home", metavar="DIR",
                     help="keep the .zorvik tree (skills, output, state, browser session) under DIR "
                          "instead of the home directory")
    run.add_argument("--name", help="the skill's name (default: the file name without .py); it chooses "
                                    "the output directory and the state file")
    run.add_argument("--model", help="the LLM model for ctx.llm_ask and ctx.llm_json")
    run.set_defaults(handler=command_run)

    check = commands.add_parser(
        "check", parents=[common], help="check a skill file without running it",
        description="Read a skill file without running any of it and report, with file and line, what "
                    "would keep it from starting: a syntax error, no run function, a run that is not "
                    "async def, or one that cannot take (ctx, params). Exit status 0 when it would start.")
    check.add_argument("skill", metavar="SKILL", help="a .py file, or the name of a skill in the skills directory")
    check.set_defaults(handler=command_check)

    new = commands.add_parser(
        "new", parents=[common], help="write a new skill that runs as it is",
        description="Write NAME.py: a commented skill that logs, keeps state and writes a file, "
                    "ready to run and to change.")
    new.add_argument("name", metavar="NAME", help="the skill's name (letters, digits, '_' and '-')")
    new.add_argument("--dir", metavar="DIR", help="where to write it (default: the skills directory)")
    new.set_defaults(handler=command_new)

    list_ = commands.add_parser(
        "list", parents=[common], help="list the skills in the skills directory",
        description="List the skills in the skills directory with the first line of each one's docstring.")
    list_.add_argument("--home", metavar="DIR", help="look in DIR/.zorvik/skills instead of the home directory")
    list_.set_defaults(handler=command_list)
    return parser


def main(argv=None):
    # Started with standard output or error closed, the interpreter has None there.
    for name in ("stdout", "stderr"):
        if getattr(sys, name) is None:
            setattr(sys, name, open(os.devnull, "w"))
    parser = build_parser()
    args, extra = parser.parse_known_args(argv)
    # Parameters may follow options (run x.py --timeout 5 n=3), which argparse leaves over.
    if extra and (args.command != "run" or any(item.startswith("-") for item in extra)):
        parser.error(f"unrecognized arguments: {' '.join(extra)}")
    if extra:
        args.params += extra
    try:
        return args.handler(args)
    except UsageError as e:
        print(f"{PROG}: {e}", file=sys.stderr)
        return EXIT_USAGE
    except CommandFailed as e:
        print(f"{PROG}: {e}", file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except Exception as e:
        if args.traceback:
            raise
        print(f"{PROG}: {type(e).__name__}: {e} (--traceback shows where)", file=sys.stderr)
        return EXIT_FAILED
