"""Processes left running after a cancellation, at points spread over start-up and use.

    tools/py314 python3 bench/bench_cancel_points.py [browser] [shell]

browser: a skill run (PythonSkillRunner.run of a skill that opens a local page
and reads its text, in real headless Chromium) is cancelled at POINTS moments
of a reference run's time line, measured first in the same process (after a
warm-up run): two thirds of them spread over the opening (driver start,
launch, new context, new page), the rest over navigation with its settling
pause, and over reading the text and the runner's clean-up. The runner's
clean-up has run by the time a cancelled run ends; the driver and Chromium
processes still alive after a grace period are counted, then killed so that
the next point starts clean.

shell: ctx.shell() of a command that starts a background child is cancelled
after k event-loop steps, for k = 1..STEPS, ROUNDS times each. Every step
first blocks the loop for a moment, as a busy host would, so that the shell
has run its first lines by the time the cancellation lands, also while
asyncio is still setting the process up.

Every process a point starts carries a mark in its environment; leftovers are
the live (not zombie) processes with that mark. The engine is imported from
sys.path (`tools/py314 env PYTHONPATH=src python3 ...` for the built tree).
ZORVIK_BENCH_QUICK=1 runs fewer points.
"""

import asyncio
import http.server
import os
import signal
import sys
import tempfile
import threading
import time
from pathlib import Path

QUICK = bool(os.environ.get("ZORVIK_BENCH_QUICK"))
POINTS = 12 if QUICK else 27
STEPS = 12
ROUNDS = 2 if QUICK else 5
GRACE = 3.0
MARK = "ZORVIK_CANCEL_POINT"

home = Path(tempfile.mkdtemp(prefix="zorvik-bench-cancel-"))
os.environ["HOME"] = str(home)

from zorvik.skills import skill_engine as engine  # noqa: E402  (HOME first)


def marked(mark):
    """Live processes whose environment carries MARK=mark."""
    needle = f"{MARK}={mark}".encode()
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit() or int(entry.name) == os.getpid():
            continue
        try:
            state = (entry / "stat").read_text().rsplit(")", 1)[1].split()[0]
            if state != "Z" and needle in (entry / "environ").read_bytes().split(b"\0"):
                found.append(int(entry.name))
        except OSError:
            pass
    return found


async def leftovers(mark):
    deadline = time.monotonic() + GRACE
    while (left := marked(mark)) and time.monotonic() < deadline:
        await asyncio.sleep(0.05)
    for pid in left:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    return len(left)


class Page(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.end_headers()
        self.wfile.write(b"<!doctype html><p>cancel points</p>")

    def log_message(self, *args):
        pass


SKILL = """
import asyncio, time

async def run(ctx, params):
    marks = params.get("marks")
    if marks is not None:  # the reference run notes when each field gets set
        async def watch():
            while True:
                for field in ("_playwright", "_browser_instance", "_browser_context", "_page"):
                    if field not in marks and getattr(ctx, field) is not None:
                        marks[field] = time.monotonic()
                await asyncio.sleep(0.002)
        watcher = asyncio.create_task(watch())
    await ctx.browser_navigate(params["url"])
    if marks is not None:
        marks["navigated"] = time.monotonic()
    text = await ctx.browser_get_text()
    if marks is not None:
        marks["read"] = time.monotonic()
        watcher.cancel()
    return {"text": text}
"""

PHASES = [("driver start", "_playwright"), ("launch", "_browser_instance"), ("new_context", "_browser_context"),
          ("new_page", "_page"), ("navigate", "navigated"), ("get_text", "read")]


def phase(t, marks):
    for name, field in PHASES:
        if t < marks.get(field, float("inf")):
            return name
    return "clean-up"


async def browser():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = f"http://127.0.0.1:{server.server_address[1]}/"
    script = home / "navigate.py"
    script.write_text(SKILL)
    runner = engine.PythonSkillRunner()

    os.environ[MARK] = "reference"
    await runner.run("navigate", {"url": url}, str(script))  # warms up caches and the disk
    marks = {}
    start = time.monotonic()
    await runner.run("navigate", {"url": url, "marks": marks}, str(script))
    total = time.monotonic() - start
    marks = {field: t - start for field, t in marks.items()}
    await leftovers("reference")
    opening, navigated = marks["_page"], marks["navigated"]
    early, late = round(POINTS * 2 / 3), round(POINTS * 2 / 9)
    middle = POINTS - early - late
    points = [opening * i / early for i in range(early)]
    points += [opening + (navigated - opening) * i / middle for i in range(middle)]
    points += [navigated + (total - navigated) * i / late for i in range(late)]
    print(f"reference run: {total:.2f} s; reached at "
          + ", ".join(f"{f} {t:.2f} s" for f, t in marks.items()))

    results = []
    for n, at in enumerate(points):
        os.environ[MARK] = mark = f"point-{n}"
        task = asyncio.create_task(runner.run("navigate", {"url": url}, str(script)))
        await asyncio.sleep(at)
        task.cancel()
        try:
            outcome = "finished" if (await task).success else "failed"
        except asyncio.CancelledError:
            outcome = "cancelled"
        left = await leftovers(mark)
        results.append(left)
        print(f"  {at:5.2f} s  {phase(at, marks):12s} {outcome:9s} leftover processes: {left}")
    server.shutdown()
    print(f"browser: {sum(1 for r in results if r)} of {len(results)} points left processes "
          f"({sum(results)} processes)")


async def shell():
    ctx = engine.ZorvikContext("cancel")
    workdir = home / "shell"
    workdir.mkdir()
    os.chdir(workdir)
    command = "sleep 30 & echo $$ > pid; sleep 30; wait"
    per_step = []
    for k in range(1, STEPS + 1):
        left_here = 0
        for r in range(ROUNDS):
            os.environ[MARK] = mark = f"shell-{k}-{r}"
            task = asyncio.create_task(ctx.shell(command))
            for _ in range(k):
                time.sleep(0.002)
                await asyncio.sleep(0)
            task.cancel()
            try:
                await task
            except asyncio.CancelledError:
                pass
            left_here += await leftovers(mark)
        per_step.append(left_here)
        print(f"  cancel after {k:2d} steps: leftover processes {left_here} in {ROUNDS} runs")
    print(f"shell: {sum(per_step)} leftover processes in {STEPS * ROUNDS} cancelled runs")


async def main(which):
    if "browser" in which:
        await browser()
    if "shell" in which:
        await shell()


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1:] or ["browser", "shell"]))
