"""Offline tests of the example skills, as a skill author writes them.

    tools/py314 python3 -m pytest -p zorvik.testing examples/test_skills.py

No browser is started and no model is asked: the fixtures fake_browser and
fake_llm answer for them, and each test's files go to its own skill_home.
"""

from pathlib import Path

from zorvik.testing import FakePage

SKILLS = Path(__file__).parent / "skills"
NEWS = "https://news.example/"
ITEMS = "() => [...document.querySelectorAll('#news li')].map(item => item.textContent.trim())"


def test_headlines_go_into_a_report(run_skill, fake_browser):
    fake_browser.pages[NEWS] = FakePage(
        "Rust 2.0 released\nPython 3.15 beta", selectors=["#news li"],
        evaluate={ITEMS: ["Rust 2.0 released", "Python 3.15 beta"]})

    result = run_skill(SKILLS / "headlines.py", {"url": NEWS})

    assert result.success, result.error
    assert result.result["headlines"] == ["Rust 2.0 released", "Python 3.15 beta"]
    assert Path(result.result["report"]).read_text() == "# Headlines\n\n- Rust 2.0 released\n- Python 3.15 beta"
    assert ("wait_for_selector", ("#news li",), {"timeout": 5000.0}) in fake_browser.calls


def test_a_page_without_headlines_fails_the_run(run_skill, fake_browser):
    fake_browser.pages[NEWS] = "Down for maintenance"

    result = run_skill(SKILLS / "headlines.py", {"url": NEWS})

    assert not result.success
    assert result.error.startswith("TimeoutError: ")


def test_a_fenced_json_reply_is_read(run_skill, fake_llm):
    fake_llm.replies.append('Sure!\n```json\n{"category": "billing", "urgent": true}\n```')

    result = run_skill(SKILLS / "triage.py", {"message": "I was charged twice"})

    assert result.result == {"success": True, "category": "billing", "urgent": True}
    (request,) = fake_llm.requests
    assert request["messages"][-1] == {"role": "user", "content": "I was charged twice"}


def test_a_reply_that_is_not_json_fails_the_run(run_skill, fake_llm):
    fake_llm.replies.append("I am not sure what you mean.")

    result = run_skill(SKILLS / "triage.py", {"message": "hello?"})

    assert result.success is False
    assert result.result["reply"] == "I am not sure what you mean."


def test_a_failing_model_fails_the_run(run_skill, fake_llm):
    fake_llm.replies.append(ConnectionError("service unavailable"))

    result = run_skill(SKILLS / "triage.py", {"message": "hello?"})

    assert result.error == "ConnectionError: service unavailable"
