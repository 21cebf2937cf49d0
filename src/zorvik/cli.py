"""zorvik-skill: run, check, create and list script skills from the command line.

    zorvik-skill run SKILL [PARAM ...] [--timeout SECONDS] [--memory MB] [--json-out FILE] [--home DIR] ...
    zorvik-skill check SKILL [--home DIR]
    zorvik-skill new NAME [--dir DIR | --home DIR]
    zorvik-skill list [--home DIR]

Exit status: 0 success, 1 the run (or the check) failed, 2 usage error,
124 the time limit ran out, 130 interrupted.

The command is a host of the skill engine like the application itself: it
runs skills through PythonSkillRunner and reads files without importing
them. Only the standard library and the engine are imported, and the engine
only when the chosen subcommand needs it. The checks of ``check`` (and the
tempfile module they use) are imported by the subcommands that use them: a
run would pay some 2 ms of its start-up for them.
"""

import argparse
import ast
import asyncio
import contextlib
import json
import logging
import math
import os
import re
import shlex
import signal
import sys
import time
from pathlib import Path

from zorvik import run_report, strict_json
from zorvik.contained.handle import Outcome, WorkerHandle, make_job
from zorvik.host import RunWatch, import_engine, partial_result, run_within, zorvik_home

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
    ``tags=["a","b"]`` a list) and as text otherwise. A key given twice
    keeps its last value, with a warning.
    """
    objects = [item for item in items if item.lstrip().startswith("{")]
    if objects and len(items) > 1:
        raise UsageError("parameters mix a JSON object with other parameters: give either one JSON object "
                         "or key=value pairs")
    if objects:
        objects = []  # each object's pairs as it closes: the outermost comes last
        try:
            params = json.loads(items[0], object_pairs_hook=lambda pairs: objects.append(pairs) or dict(pairs))
        except json.JSONDecodeError as e:
            raise UsageError(f"parameters are not a valid JSON object: {e}") from None
        if not isinstance(params, dict):
            raise UsageError("parameters must be a JSON object")
        return without_repeats(objects[-1], params)
    pairs = []
    for item in items:
        key, sep, value = item.partition("=")
        if not sep or not key:
            raise UsageError(f"parameter {item!r} is not of the form key=value")
        try:
            pairs.append((key, json.loads(value)))
        except json.JSONDecodeError:
            pairs.append((key, value))
    return without_repeats(pairs, dict(pairs))


def without_repeats(pairs, params):
    """``params``, after a warning for each key ``pairs`` holds more than once."""
    keys = [key for key, _ in pairs]
    for key in dict.fromkeys(key for key in keys if keys.count(key) > 1):
        print(f"{PROG}: warning: parameter {key!r} is given {keys.count(key)} times; the last value, "
              f"{json.dumps(params[key], ensure_ascii=False)}, is used", file=sys.stderr)
    return params


def positive(text, unit):
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"expected a positive number of {unit}, got {text!r}")
    return value


def seconds(text):
    return positive(text, "seconds")


def megabytes(text):
    return positive(text, "MiB")


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


async def supervise(engine, runner, name, params, path, timeout, watch):
    """Runs the skill in this process; on a time-out or an interrupt, a failed result with the entries logged so far.

    Returns the result and how the run ended (``result``, ``timeout`` or
    ``interrupted``).
    """
    start = time.time()
    try:
        result, expired = await run_within(engine, runner, name, params, path, timeout, watch)
    except asyncio.CancelledError:
        return partial_result(engine, name, "Interrupted", watch, start), "interrupted"
    return result, "timeout" if expired else "result"


def run_in_process(engine, runner, name, params, path, timeout):
    """The run in this process (``--in-process``), and what the command reports beside its result."""
    raised = run_report.RaisedWatch()
    engine.logger.addHandler(raised)
    depth = sys.get_coroutine_origin_tracking_depth()
    sys.set_coroutine_origin_tracking_depth(run_report.ORIGIN_DEPTH)
    try:
        with stdout_to_stderr(), RunWatch(engine, sys.stderr) as watch, run_report.ReturnWatch(path) as returns:
            result, ending = asyncio.run(supervise(engine, runner, name, params, path, timeout, watch))
    finally:
        sys.set_coroutine_origin_tracking_depth(depth)
        engine.logger.removeHandler(raised)
    if ending != "result":
        return Outcome(result, ending)
    failure = run_report.failure_site(raised.raised, path) if result.error and raised.raised else None
    return Outcome(result, ending, run_report.truth(result.success), failure=failure,
                   traced=raised.raised is not None, hints=run_report.hints(result, returns, path))


async def contained(worker, job, timeout, memory):
    """Runs the job in the worker forked for it. The first Ctrl-C cancels the run as a time-out does, the
    second kills it at once; either way the result is reported."""
    loop = asyncio.get_running_loop()
    task = asyncio.current_task()
    presses = 0

    def interrupted():
        nonlocal presses
        presses += 1
        if presses == 1:
            task.cancel()
        else:
            worker.kill()

    loop.add_signal_handler(signal.SIGINT, interrupted)
    start = time.time()
    try:
        return await worker.run(job, timeout=timeout, memory_mb=memory, wait_exit=False)
    except asyncio.CancelledError:
        if presses == 0:
            raise
        return worker.partial(job, start, "Interrupted", "interrupted")
    finally:
        loop.remove_signal_handler(signal.SIGINT)


STATUS = {"result": EXIT_OK, "timeout": EXIT_TIMEOUT, "interrupted": EXIT_INTERRUPTED}


def command_run(args):
    params = parse_params(args.params)
    if args.json_out is not None:
        parent = os.path.dirname(os.path.abspath(args.json_out))
        if not os.path.isdir(parent):
            raise UsageError(f"cannot write {args.json_out}: no directory {parent}")
    if args.in_process and args.memory is not None:
        raise UsageError("--memory limits a contained run; it cannot be used with --in-process")
    engine = import_engine()
    with contextlib.ExitStack() as stack:
        if args.home is not None:
            stack.enter_context(zorvik_home(engine, args.home))
        path, name = resolve_skill(args.skill, engine.SKILLS_DIR)
        name = args.name or name
        runner = engine.PythonSkillRunner(args.model) if args.model else engine.PythonSkillRunner()
        # The engine writes a failed skill's traceback to its logger (a contained run's worker sends it
        # here): shown on request only.
        handler = logging.StreamHandler(sys.stderr) if args.traceback else logging.NullHandler()
        handler.setLevel(logging.ERROR)
        engine.logger.addHandler(handler)
        stack.callback(engine.logger.removeHandler, handler)
        if args.in_process:
            outcome = run_in_process(engine, runner, name, params, path, args.timeout)
        else:
            job = make_job(engine, name, params, str(path), runner._llm_model, dict(os.environ), report=True)
            # Forked now, while this process has no event loop and no other thread.
            worker = WorkerHandle.fork()
            args.forked = True
            outcome = asyncio.run(contained(worker, job, args.timeout, args.memory))
    try:
        report(outcome, args)
    finally:
        if not args.in_process:
            worker.reap()  # the run is over; its supervisor exits meanwhile
    status = STATUS.get(outcome.ending, EXIT_FAILED)
    return EXIT_FAILED if status == EXIT_OK and not outcome.succeeded else status


def report(outcome, args):
    """The result as strict JSON on standard output (and in --json-out); warnings and the error on stderr."""
    result = outcome.result
    plain, notes = {}, list(outcome.converted)
    for key, value in result.to_dict().items():
        plain[key], converted = strict_json.to_plain(value, key)
        notes += converted
    text = strict_json.dumps(plain, sys.stdout.encoding or "utf-8", indent=2)
    unwritten = None
    if args.json_out is not None:
        try:
            with open(args.json_out, "w", encoding="utf-8") as out:
                out.write(text + "\n")
        except OSError as e:  # reported once the result is on standard output all the same
            unwritten = f"cannot write {args.json_out}: {e.strerror or e}"
    print(text, flush=True)
    if unwritten is not None:
        raise CommandFailed(unwritten)
    if notes:
        print(f"{PROG}: warning: {strict_json.summary(notes)}", file=sys.stderr)
    for hint in outcome.hints:
        print(f"{PROG}: warning: {hint}", file=sys.stderr)
    if outcome.ending in ("timeout", "interrupted"):
        print(f"{PROG}: {result.error.lower()}; the run was cancelled", file=sys.stderr)
    elif not outcome.succeeded:
        reason = result.error or f'the skill returned "success": {json.dumps(plain["success"])}'
        site = outcome.failure or {}
        where = f"{site['file']}:{site['line']}: " if site.get("line") else ""
        hint = f". {site['hint']}" if site.get("hint") else ""
        more = " (--traceback shows the whole traceback)" if outcome.traced and not args.traceback else ""
        print(f"{PROG}: the run failed: {where}{reason}{hint}{more}", file=sys.stderr)


# ---------------------------------------------------------------- check


def command_check(args):
    from zorvik.check import Context, check_source

    engine = import_engine()
    with zorvik_home(engine, args.home) if args.home is not None else contextlib.nullcontext():
        path, _ = resolve_skill(args.skill, engine.SKILLS_DIR)
    findings = check_source(path, Context.of(engine))
    for finding in findings:
        print(f"{path}:{finding.line}: {'warning: ' if finding.warning else ''}{finding.text}")
    if any(not finding.warning for finding in findings):
        return EXIT_FAILED
    warned = len(findings)
    print(f"{path}: ok" + (f" ({warned} warning{'s' if warned > 1 else ''})" if warned else ""))
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
        engine = import_engine()
        with zorvik_home(engine, args.home) if args.home is not None else contextlib.nullcontext():
            directory = engine.SKILLS_DIR
    path = directory / f"{name}.py"
    if path.exists():
        raise CommandFailed(f"{path} already exists; not overwriting it")
    if args.dir is not None:
        shown = str(path)
    else:
        shown = name if args.home is None else f"{name} --home {shlex.quote(args.home)}"
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


def listing(path, binding):
    """The first line of a skill's docstring; None for a module without ``run`` (a helper skills import)."""
    try:
        tree = ast.parse(path.read_bytes(), filename=str(path))
    except SyntaxError as e:
        return f"(syntax error at line {e.lineno})"
    except (OSError, ValueError) as e:
        return f"(cannot read: {getattr(e, 'strerror', None) or e})"
    if binding(tree, "run") is None:
        return None
    doc = ast.get_docstring(tree)
    return doc.strip().splitlines()[0] if doc and doc.strip() else ""


def command_list(args):
    from zorvik.check import binding

    engine = import_engine()
    with zorvik_home(engine, args.home) if args.home is not None else contextlib.nullcontext():
        skills_dir = engine.SKILLS_DIR
    paths = sorted(skills_dir.glob("*.py")) if skills_dir.is_dir() else []
    skills = {path.stem: line for path in paths if (line := listing(path, binding)) is not None}
    if not skills:
        print(f"{PROG}: no skills in {skills_dir}", file=sys.stderr)
        return EXIT_OK
    width = max(map(len, skills))
    for name, line in skills.items():
        print(f"{name:<{width}}  {line}".rstrip())
    return EXIT_OK


# ---------------------------------------------------------------- command line


def help_formatter(prog):
    """argparse's help formatter, at the terminal's width as ``shutil.get_terminal_size`` finds it.

    argparse asks shutil for the width whenever it makes a formatter (building
    the parser does), and importing shutil loads the compression modules too:
    about 10 ms, a tenth of the command's start-up.
    """
    try:
        columns = int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        try:
            columns = os.get_terminal_size(sys.__stdout__.fileno()).columns
        except (AttributeError, ValueError, OSError):
            columns = 80
    return argparse.HelpFormatter(prog, width=max(columns, 1) - 2)


class Parser(argparse.ArgumentParser):
    def __init__(self, **kwargs):
        super().__init__(formatter_class=help_formatter, **kwargs)


def build_parser():
    common = Parser(add_help=False)
    common.add_argument("--traceback", "-v", action="store_true",
                        help="show the full traceback of an error (and of a failed skill)")
    parser = Parser(
        prog=PROG,
        description="Run, check, create and list Zorvik script skills.",
        epilog="Exit status: 0 success, 1 failed, 2 usage error, 124 time limit ran out, 130 interrupted.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    run = commands.add_parser(
        "run", parents=[common], help="run a skill and print its result as JSON",
        description="Run a skill through the skill engine, in a worker process of its own: a skill that "
                    "spins, blocks, crashes or leaves processes behind cannot outlast --timeout or Ctrl-C, and "
                    "nothing it started is left running. The result (strict JSON) is the only thing on "
                    "standard output; the skill's log streams to standard error as it is written, and so "
                    "does whatever the skill prints.",
        epilog="PARAM is key=value (the value read as JSON when it parses, else as text), or one JSON object. "
               "Exit status: 0 success, 1 failed run, 2 usage error, 124 time limit ran out, 130 interrupted.")
    run.add_argument("skill", metavar="SKILL", help="a .py file, or the name of a skill in the skills directory")
    run.add_argument("params", metavar="PARAM", nargs="*", help="key=value, or one JSON object")
    run.add_argument("--timeout", type=seconds, metavar="SECONDS",
                     help="cancel the run after this long (its finally blocks and clean-up run; after 2 s more "
                          "everything it started is killed) and exit with 124")
    run.add_argument("--memory", type=megabytes, metavar="MB",
                     help="end the run when the skill's process holds more than MB MiB of resident memory "
                          "(commands it starts are not counted)")
    run.add_argument("--in-process", action="store_true",
                     help="run the skill in this process rather than in a worker process of its own (for a "
                          "debugger); --timeout then cannot stop a skill that blocks, and there is no --memory")
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
        description="Read a skill file without importing or running any of it and report, with file, line "
                    "and a fix, what would keep it from starting or fail it at once: a syntax error; no "
                    "run, or a run that is not an async def taking (ctx, params); a context attribute that "
                    "does not exist; a context coroutine called without await. Warnings (exit status 0) "
                    "name calls that block the event loop inside run (time.sleep, subprocess.run, "
                    "requests, urllib.request). Exit status 1 when an error was found.")
    check.add_argument("skill", metavar="SKILL", help="a .py file, or the name of a skill in the skills directory")
    check.add_argument("--home", metavar="DIR", help="look for SKILL by name in DIR/.zorvik/skills")
    check.set_defaults(handler=command_check)

    new = commands.add_parser(
        "new", parents=[common], help="write a new skill that runs as it is",
        description="Write NAME.py: a commented skill that logs, keeps state and writes a file, "
                    "ready to run and to change.")
    new.add_argument("name", metavar="NAME", help="the skill's name (letters, digits, '_' and '-')")
    new.add_argument("--dir", metavar="DIR", help="where to write it (default: the skills directory)")
    new.add_argument("--home", metavar="DIR", help="write it to DIR/.zorvik/skills (unless --dir is given)")
    new.set_defaults(handler=command_new)

    list_ = commands.add_parser(
        "list", parents=[common], help="list the skills in the skills directory",
        description="List the skills in the skills directory with the first line of each one's docstring; "
                    "modules without a run (helpers the skills import) are left out.")
    list_.add_argument("--home", metavar="DIR", help="look in DIR/.zorvik/skills instead of the home directory")
    list_.set_defaults(handler=command_list)
    return parser


def main(argv=None):
    """The command; returns its exit status.

    Called without ``argv``, as the process's command, a contained run ends
    the process itself once its output is flushed: the process ran no skill
    code, so the interpreter's teardown has nothing to do, and it would take
    a fifth of the command's start-up budget (more after the fork, whose
    copy-on-write pages it touches again).
    """
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
    args.forked = False
    status = run_handler(args)
    if argv is None and args.forked:
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (OSError, ValueError):
                pass
        os._exit(status)
    return status


def run_handler(args):
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
