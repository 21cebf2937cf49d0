"""Contained runs: what a worker process costs, and how the host's loop fares while a skill spins.

    tools/py314 python3 bench/bench_contained.py

Figures (p50 of 30 unless ZORVIK_BENCH_QUICK=1; variants take turns, so that
a busy machine slows them alike; differences are taken within each round):

- a trivial run, contained with a spare worker ready, against the same run in
  process (goal: within 15 ms);
- a trivial run, contained and cold (no spare), against a fresh
  ``python3 -c "import zorvik.skills.skill_engine"`` (goal: within 10 ms);
- the host loop's worst lag while a contained skill spins until its time-out
  and is cancelled (goal: under 10 ms), measured by a task that asks to wake
  every millisecond.
"""

import asyncio
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TOP = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(TOP / "src"))
WORK = Path(tempfile.mkdtemp(prefix="zorvik-bench-contained-"))
os.environ["HOME"] = str(WORK)
os.environ["PYTHONPATH"] = str(TOP / "src")

from zorvik.contained import ContainedRunner  # noqa: E402
from zorvik.skills import skill_engine as engine  # noqa: E402

QUICK = os.environ.get("ZORVIK_BENCH_QUICK") == "1"
ROUNDS = 5 if QUICK else 30
TRIVIAL = WORK / "trivial.py"
TRIVIAL.write_text("async def run(ctx, params):\n    return {'ok': True}\n")
SPIN = WORK / "spin.py"
SPIN.write_text("async def run(ctx, params):\n    while True:\n        pass\n")


async def timed(call):
    start = time.perf_counter()
    await call()
    return time.perf_counter() - start


def import_engine_fresh():
    start = time.perf_counter()
    subprocess.run([sys.executable, "-c", "import zorvik.skills.skill_engine"], check=True)
    return time.perf_counter() - start


async def start_up():
    in_process = engine.PythonSkillRunner()
    rows = {"in process": [], "contained, spare ready": [], "fresh interpreter importing the engine": [],
            "contained, cold": []}
    async with ContainedRunner() as warm, ContainedRunner(spare=False) as cold:
        for _ in range(ROUNDS + 1):
            await warm._spare.ready  # the spare has its imports done and waits for its job
            times = [await timed(lambda: in_process.run("trivial", {}, str(TRIVIAL))),
                     await timed(lambda: warm.run("trivial", {}, str(TRIVIAL)))]
            await warm._spare.ready  # the next spare's start-up does not share the machine with what follows
            times += [import_engine_fresh(), await timed(lambda: cold.run("trivial", {}, str(TRIVIAL)))]
            for row, value in zip(rows.values(), times):
                row.append(value)
    return {name: values[1:] for name, values in rows.items()}  # the first round warms the caches


async def worst_lag():
    lags = []

    async def ticker():
        loop = asyncio.get_running_loop()
        while True:
            expected = loop.time() + 0.001
            await asyncio.sleep(0.001)
            lags.append(loop.time() - expected)

    async with ContainedRunner(timeout=1.0) as runner:
        await runner._spare.ready
        ticking = asyncio.create_task(ticker())
        await asyncio.sleep(0.05)
        result = await runner.run("spin", {}, str(SPIN))
        ticking.cancel()
    assert result.error == "Timed out after 1 s", result.error
    return max(lags), len(lags)


def over(values, base):
    return statistics.median(v - b for v, b in zip(values, base))


def main():
    rows = asyncio.run(start_up())
    print(f"{'trivial run':42} {'p50 ms':>8} {'min ms':>8}")
    for name, values in rows.items():
        print(f"{name:42} {statistics.median(values) * 1e3:8.1f} {min(values) * 1e3:8.1f}")
    spare = over(rows["contained, spare ready"], rows["in process"])
    cold = over(rows["contained, cold"], rows["fresh interpreter importing the engine"])
    lag, ticks = asyncio.run(worst_lag())
    goals = [
        ("contained with a spare ready, over in process", spare, 0.015),
        ("contained cold, over a fresh interpreter importing the engine", cold, 0.010),
        (f"the host loop's worst lag while a skill spins ({ticks} wake-ups)", lag, 0.010),
    ]
    print()
    for name, value, goal in goals:
        print(f"{name:70} {value * 1e3:6.1f} ms  goal < {goal * 1e3:.0f} ms: {'met' if value <= goal else 'MISSED'}")
    return 0 if all(value <= goal for _, value, goal in goals) else 1


if __name__ == "__main__":
    sys.exit(main())
