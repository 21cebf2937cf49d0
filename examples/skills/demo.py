"""Demo skill: reads a page shipped beside this file, reports on it and counts its runs.

    zorvik-skill run examples/skills/demo.py name=Ada

Needs no network and no API key. With OPENAI_API_KEY set it also asks the
model for a one-line summary of the page; without it, that step is skipped.
Parameters: name (who the page greets, default "skill author").
"""

import os
from pathlib import Path

PAGE = Path(__file__).with_name("demo_page.html")


async def run(ctx, params):
    name = params.get("name", "skill author")

    # State survives between runs of the same skill.
    runs = ctx.load_state("runs", 0) + 1
    ctx.save_state("runs", runs)

    # The browser opens on first use; the engine closes it when the run ends.
    await ctx.browser_navigate(PAGE.as_uri())
    await ctx.browser_type("#name", name)
    await ctx.browser_click("#greet")
    await ctx.browser_wait("#greeting", timeout=5000)
    greeting = await ctx.browser_evaluate("() => document.querySelector('#greeting').textContent")
    headlines = await ctx.browser_evaluate("() => [...document.querySelectorAll('#news li')].map(li => li.textContent)")
    page_text = await ctx.browser_get_text()
    screenshot = await ctx.browser_screenshot("demo_page")

    # Shell commands return their output (or a "[TIMEOUT]"/"[ERROR]" text) instead of raising.
    machine = await ctx.shell("uname -srm", timeout=10)

    summary = await summarise(ctx, page_text)

    lines = [
        "# Demo report",
        "",
        f"Run number {runs}; the page greeted us with \"{greeting}\".",
        "",
        "## Headlines",
        "",
        *[f"- {headline}" for headline in headlines],
        "",
        "## Summary",
        "",
        summary,
        "",
        f"Machine: `{machine}`. Screenshot: `{Path(screenshot).name}`.",
    ]
    report = ctx.write_file("report.md", "\n".join(lines) + "\n")

    # A Word document: the content's paragraphs are separated by blank lines.
    paragraphs = [greeting, *headlines, summary]
    document = ctx.create_document("Demo report", "\n\n".join(paragraphs), format="docx")

    return {
        "success": True,
        "runs": runs,
        "greeting": greeting,
        "headlines": headlines,
        "summary": summary,
        "files": [report, document, screenshot],
    }


async def summarise(ctx, text):
    if not os.environ.get("OPENAI_API_KEY"):
        ctx.log("OPENAI_API_KEY is not set: skipping the summary")
        return "(no summary: OPENAI_API_KEY is not set)"
    try:
        return await ctx.llm_ask(f"Summarise this page in one sentence:\n\n{text}", system="You write terse summaries.")
    except Exception as e:  # a wrong key or an unreachable service should not spoil the rest of the report
        return f"(no summary: {type(e).__name__}: {e})"
