"""Start-up of the skill command: `zorvik-skill run` of a trivial skill against a bare interpreter.

    tools/py314 python3 bench/bench_startup.py

Each variant is a fresh process, timed from start to exit by the wall clock;
the variants take turns, so that a busy machine slows them alike, and the
figures are the median and the minimum of the rounds; the difference to the
bare interpreter is taken within each round. The goal: the command
finishes within 0.1 s of `python3 -c pass`, running the skill contained (in
a worker process of its own, as it does by default). For reference, the run
in the command's own process (--in-process) and without the command (the
engine imported and its runner called directly) show what the worker and the
command itself add. The package is a byte-compiled copy of the
built tree, as an installation would have it. ZORVIK_BENCH_QUICK=1 runs fewer
rounds.
"""

import compileall
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TOP = Path(__file__).resolve().parent.parent
QUICK = bool(os.environ.get("ZORVIK_BENCH_QUICK"))
ROUNDS = 5 if QUICK else 30
GOAL = 0.1

work = Path(tempfile.mkdtemp(prefix="zorvik-bench-startup-"))
# The package as installed: a copy of the built tree, compiled to bytecode as an
# installer does (the toolchain root runs without writing bytecode).
site = work / "site"
shutil.copytree(TOP / "src" / "zorvik", site / "zorvik", ignore=shutil.ignore_patterns("__pycache__"))
compileall.compile_dir(site, quiet=1)
skill = work / "trivial.py"
skill.write_text("async def run(ctx, params):\n    return {'ok': True}\n")
# What pip writes for a [project.scripts] entry.
console_script = work / "zorvik-skill"
console_script.write_text("import sys\nfrom zorvik.cli import main\nif __name__ == '__main__':\n    sys.exit(main())\n")
direct = (
    "import asyncio, json\n"
    "from zorvik.skills import skill_engine as e\n"
    f"r = asyncio.run(e.PythonSkillRunner().run('trivial', {{}}, {str(skill)!r}))\n"
    "print(json.dumps(r.to_dict()))\n"
)

VARIANTS = {
    "python3 -c pass": [sys.executable, "-c", "pass"],
    "zorvik-skill run trivial.py": [sys.executable, str(console_script), "run", str(skill)],
    "python3 -m zorvik run trivial.py": [sys.executable, "-m", "zorvik", "run", str(skill)],
    "zorvik-skill run --in-process": [sys.executable, str(console_script), "run", str(skill), "--in-process"],
    "runner called directly (reference)": [sys.executable, "-c", direct],
}
env = dict(os.environ, HOME=str(work), PYTHONPATH=str(site))


def once(argv):
    start = time.perf_counter()
    subprocess.run(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start


times = {name: [] for name in VARIANTS}
for argv in VARIANTS.values():
    once(argv)  # warm the file-system caches
for _ in range(ROUNDS):
    for name, argv in VARIANTS.items():
        times[name].append(once(argv))

base = times["python3 -c pass"]
print(f"{'variant':36} {'median s':>9} {'min s':>7} {'over python3 -c pass (median, min)':>35}")
for name, values in times.items():
    # The difference within each round, where both ran under the same load.
    over = statistics.median(v - b for v, b in zip(values, base))
    print(f"{name:36} {statistics.median(values):9.3f} {min(values):7.3f} {over:+26.3f} {min(values) - min(base):+8.3f}")
over = statistics.median(v - b for v, b in zip(times["zorvik-skill run trivial.py"], base))
print(f"\ngoal: zorvik-skill run within {GOAL} s of python3 -c pass: {'met' if over <= GOAL else 'MISSED'} "
      f"({over:.3f} s over, median of {ROUNDS} rounds)")
sys.exit(0 if over <= GOAL else 1)
