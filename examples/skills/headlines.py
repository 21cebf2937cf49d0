"""Headlines: reads the headlines of a news page into a Markdown report.

    zorvik-skill run examples/skills/headlines.py url=https://news.example/

Parameters: url (the page), selector (the list's items, default "#news li").
"""


async def run(ctx, params):
    selector = params.get("selector", "#news li")
    await ctx.browser_navigate(params["url"])
    # Up to five seconds for the list to appear; a page without it fails the run.
    await ctx.browser_wait(selector, timeout=5000)
    headlines = await ctx.browser_evaluate(
        f"() => [...document.querySelectorAll({selector!r})].map(item => item.textContent.trim())")
    report = ctx.create_document("Headlines", "\n".join(f"- {line}" for line in headlines), format="md")
    ctx.log(f"{len(headlines)} headlines")
    return {"success": bool(headlines), "headlines": headlines, "report": report}
