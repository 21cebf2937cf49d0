"""Triage: sorts a customer message into a category with the LLM, and flags urgent ones.

    zorvik-skill run examples/skills/triage.py message="I was charged twice"

Needs OPENAI_API_KEY (and OPENAI_BASE_URL for another OpenAI-compatible service).
"""

CATEGORIES = ("billing", "bug", "question", "other")

SYSTEM = (
    "You sort customer messages. Answer with a JSON object only: "
    '{"category": one of ' + ", ".join(CATEGORIES) + ', "urgent": true or false}.'
)


async def run(ctx, params):
    answer = await ctx.llm_json(params["message"], system=SYSTEM)
    if answer is None or answer.get("parse_error"):
        # The model did not answer in JSON: report the run as failed, with its reply.
        return {"success": False, "reply": (answer or {}).get("raw_response")}
    category = answer.get("category")
    if category not in CATEGORIES:
        category = "other"
    urgent = answer.get("urgent") is True
    ctx.log(f"{category}{' (urgent)' if urgent else ''}")
    return {"success": True, "category": category, "urgent": urgent}
