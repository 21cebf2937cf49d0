#!/usr/bin/env python3
"""Run a script skill from the command line, as the application would.

    python3 examples/run_skill.py SKILL.py [key=value ...]
    python3 examples/run_skill.py SKILL.py '{"name": "Ada", "count": 3}'

Each key=value pair becomes one parameter; a value that parses as JSON is used
as such (count=3 is the number 3, tags='["a","b"]' a list), anything else is
text. A single JSON object gives the whole parameter dict instead.

The skill's log entries stream to standard error while it runs; the result
(PythonSkillResult.to_dict()) is printed to standard output as JSON. The exit
status is 0 when the run succeeded, 1 when it failed, 2 for a usage error.
"""

import argparse
import asyncio
import json
import logging
import sys
from pathlib import Path

# Run from a checkout without installing: prefer the package built in place.
CHECKOUT_SRC = Path(__file__).resolve().parent.parent / "src"
if (CHECKOUT_SRC / "zorvik").is_dir():
    sys.path.insert(0, str(CHECKOUT_SRC))

from zorvik.skills import skill_engine  # noqa: E402


class UsageError(Exception):
    pass


def parse_params(items):
    """The skill's parameter dict from key=value pairs or one JSON object."""
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


def stream_skill_log():
    """Shows the engine's log records ("[skill] message") on standard error as they are written."""
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(asctime)s %(message)s", "%H:%M:%S"))
    logger = logging.getLogger(skill_engine.logger.name)
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    logger.propagate = False


def main(argv=None):
    parser = argparse.ArgumentParser(
        description="Run a script skill and print its result as JSON.",
        epilog="Values are parsed as JSON when they parse, else taken as text.",
    )
    parser.add_argument("script", help="path of the skill file (a .py file defining async def run(ctx, params))")
    parser.add_argument("params", nargs="*", help="key=value pairs, or one JSON object")
    parser.add_argument("--name", help="skill name (default: the file name without .py); chooses the "
                                       "output directory and the state file")
    parser.add_argument("--model", help="LLM model for ctx.llm_ask / ctx.llm_json")
    args = parser.parse_args(argv)

    try:
        script = Path(args.script)
        if not script.is_file():
            raise UsageError(f"no skill file at {args.script}")
        params = parse_params(args.params)
    except UsageError as e:
        print(f"{parser.prog}: {e}", file=sys.stderr)
        return 2

    stream_skill_log()
    runner = skill_engine.PythonSkillRunner(args.model) if args.model else skill_engine.PythonSkillRunner()
    try:
        result = asyncio.run(runner.run(args.name or script.stem, params, str(script)))
    except KeyboardInterrupt:
        print(f"{parser.prog}: interrupted", file=sys.stderr)
        return 130
    except OSError as e:  # the run's directories could not be created
        print(f"{parser.prog}: cannot run the skill: {e}", file=sys.stderr)
        return 1
    print(json.dumps(result.to_dict(), indent=2, ensure_ascii=False, default=str))
    return 0 if result.success else 1


if __name__ == "__main__":
    sys.exit(main())
