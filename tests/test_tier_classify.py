"""Task complexity classification: thresholds, pattern cases, argument checks, and
verdicts identical to the rules run through `re`, for any text and any pattern lists."""

import re
import types

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from zorvik.core import tier_chooser as tc

Complexity = tc.Complexity
ORIGINAL_COMPLEX = list(tc._COMPLEX_PATTERNS)
ORIGINAL_SIMPLE = list(tc._SIMPLE_PATTERNS)


def reference(prompt, tool_count=0, complex_patterns=None, simple_patterns=None):
    """The rules as plain Python, for comparison."""
    complex_patterns = tc._COMPLEX_PATTERNS if complex_patterns is None else complex_patterns
    simple_patterns = tc._SIMPLE_PATTERNS if simple_patterns is None else simple_patterns
    prompt_lower = prompt.lower().strip()
    if len(prompt_lower) < 20:
        return Complexity.SIMPLE
    if any(re.search(p, prompt_lower) for p in complex_patterns):
        return Complexity.COMPLEX
    if any(re.search(p, prompt_lower) for p in simple_patterns):
        return Complexity.SIMPLE
    words = len(prompt_lower.split())
    if words > 60 or tool_count > 4:
        return Complexity.COMPLEX
    if words > 25 or tool_count > 2:
        return Complexity.MODERATE
    if words < 15 and tool_count <= 1:
        return Complexity.SIMPLE
    return Complexity.MODERATE


class Text(str):
    """A str subclass, refused wherever a str is expected."""


NEUTRAL = "garden"  # a word no pattern looks for


def neutral(words):
    return " ".join([NEUTRAL] * words)


class TestRules:
    @pytest.mark.parametrize("prompt", ["", "   \t\n ", "architect the app", "x" * 19, " " * 5 + "y" * 19 + "\u3000"])
    def test_short_texts_are_simple(self, prompt):
        assert tc.classify_complexity(prompt, 99) is Complexity.SIMPLE

    @pytest.mark.parametrize(
        ("prompt", "expected"),
        [
            ("Design system for twenty", Complexity.COMPLEX),
            ("Fetch the headlines from the news site", Complexity.SIMPLE),
            ("Research AI trends and write a summary", Complexity.COMPLEX),
            ("get me a daily report of the stock market", Complexity.COMPLEX),
            ("please list everything in this folder", Complexity.SIMPLE),
            ("RESEARCH the topic thoroughly", Complexity.COMPLEX),
            ("plan the whole garden project", Complexity.COMPLEX),
            ("write me a 500 word essay", Complexity.COMPLEX),
            ("a note of about 1000word maximum", Complexity.COMPLEX),
            ("a note of about 500 words at most, garden", Complexity.SIMPLE),
            ("we should automate the garden watering", Complexity.SIMPLE),
            ("the automat in the garden hall is broken", Complexity.COMPLEX),
            ("this garden has nothing to say at all", Complexity.SIMPLE),
            ("ok, the garden can wait until tomorrow", Complexity.SIMPLE),
            ("a multi-step plan for the garden", Complexity.COMPLEX),
            ("an in-depth look at the garden", Complexity.COMPLEX),
        ],
    )
    def test_pattern_cases(self, prompt, expected):
        assert tc.classify_complexity(prompt) is expected
        assert reference(prompt) is expected

    @pytest.mark.parametrize(
        ("words", "tools", "expected"),
        [
            (61, 0, Complexity.COMPLEX),
            (60, 0, Complexity.MODERATE),
            (26, 0, Complexity.MODERATE),
            (20, 0, Complexity.MODERATE),
            (20, 2, Complexity.MODERATE),
            (14, 1, Complexity.SIMPLE),
            (14, 2, Complexity.MODERATE),
            (4, 5, Complexity.COMPLEX),
            (60, 3, Complexity.MODERATE),
            (60, 4, Complexity.MODERATE),
            (14, -(2**80), Complexity.SIMPLE),
            (14, 2**80, Complexity.COMPLEX),
        ],
    )
    def test_thresholds(self, words, tools, expected):
        assert tc.classify_complexity(neutral(words), tools) is expected


class TestArguments:
    @pytest.mark.parametrize(
        ("args", "message", "note"),
        [
            ((None,), "Argument 'prompt' has incorrect type (expected str, got NoneType)", None),
            ((b"bytes",), "Argument 'prompt' has incorrect type (expected str, got bytes)", None),
            ((Text("a text"),), "Argument 'prompt' has incorrect type (expected str, got Text)",
             "Subclasses of 'str' are refused here: pass an exact 'str'."),
            (("text", True), "Argument 'tool_count' has incorrect type (expected int, got bool)",
             "Subclasses of 'int' are refused here: pass an exact 'int'."),
            (("text", 3.0), "Argument 'tool_count' has incorrect type (expected int, got float)", None),
            (("text", None), "Argument 'tool_count' has incorrect type (expected int, got NoneType)", None),
            ((), "classify_complexity() takes at least 1 positional argument (0 given)", None),
            (("a", 1, 2), "classify_complexity() takes at most 2 positional arguments (3 given)", None),
        ],
    )
    def test_refused(self, args, message, note):
        with pytest.raises(TypeError) as info:
            tc.classify_complexity(*args)
        assert str(info.value) == message
        assert getattr(info.value, "__notes__", [None]) == [note]

    def test_keywords(self):
        assert tc.classify_complexity(prompt=neutral(20), tool_count=5) is Complexity.COMPLEX


class TestPatternLists:
    def test_lists_hold_the_pattern_texts(self):
        assert len(tc._COMPLEX_PATTERNS) == 10 and len(tc._SIMPLE_PATTERNS) == 6
        assert tc._COMPLEX_PATTERNS[9] == r"\b(\d{3,}\s*word)\b"
        assert all(type(p) is str for p in tc._COMPLEX_PATTERNS + tc._SIMPLE_PATTERNS)

    def test_rebinding_and_mutating_change_verdicts(self, monkeypatch):
        text = "a garden of flowers, plants and herbs"
        assert tc.classify_complexity(text) is Complexity.SIMPLE
        monkeypatch.setattr(tc, "_COMPLEX_PATTERNS", [r"\bherbs\b"])
        assert tc.classify_complexity(text) is Complexity.COMPLEX
        tc._COMPLEX_PATTERNS[0] = r"\bweeds\b"
        assert tc.classify_complexity(text) is Complexity.SIMPLE
        tc._COMPLEX_PATTERNS.append(r"flow")
        assert tc.classify_complexity(text) is Complexity.COMPLEX
        monkeypatch.setattr(tc, "_SIMPLE_PATTERNS", (r"\bgarden\b",))
        del tc._COMPLEX_PATTERNS[:]
        assert tc.classify_complexity(neutral(30)) is Complexity.SIMPLE

    def test_pattern_objects_and_iterables(self, monkeypatch):
        monkeypatch.setattr(tc, "_COMPLEX_PATTERNS", iter([re.compile("herb")]))
        assert tc.classify_complexity("a garden of flowers and herbs") is Complexity.COMPLEX

    def test_bad_pattern_raises_when_reached(self, monkeypatch):
        monkeypatch.setattr(tc, "_COMPLEX_PATTERNS", [r"garden", r"(unclosed"])
        assert tc.classify_complexity(neutral(5)) is Complexity.COMPLEX
        with pytest.raises(re.PatternError):
            tc.classify_complexity("no such word in this long text")

    def test_a_search_that_mutates_the_list(self, monkeypatch):
        patterns = [r"\bweeds\b"]

        class Sneaky(str):
            def __hash__(self):
                patterns.append(r"\bherbs\b")
                return str.__hash__(self)

        patterns.insert(0, Sneaky(r"\bnothing\b"))
        monkeypatch.setattr(tc, "_COMPLEX_PATTERNS", patterns)
        text = "a garden of flowers and herbs"
        assert tc.classify_complexity(text) is Complexity.COMPLEX

    def test_searches_with_the_bound_re_in_list_order(self, monkeypatch):
        calls = []

        def search(pattern, text):
            calls.append((pattern, text))
            return re.search(pattern, text)

        monkeypatch.setattr(tc, "re", types.SimpleNamespace(search=search))
        assert tc.classify_complexity("  Write me a 500 WORD essay \n") is Complexity.COMPLEX
        assert calls == [(p, "write me a 500 word essay") for p in ORIGINAL_COMPLEX[:6]]
        calls.clear()
        assert tc.classify_complexity(neutral(20)) is Complexity.MODERATE
        assert calls == [(p, neutral(20)) for p in ORIGINAL_COMPLEX + ORIGINAL_SIMPLE]
        monkeypatch.delattr(tc, "re")
        assert tc.classify_complexity("short") is Complexity.SIMPLE
        with pytest.raises(NameError, match="name 're' is not defined"):
            tc.classify_complexity(neutral(20))

    def test_deleted_list_is_a_name_error(self, monkeypatch):
        monkeypatch.delattr(tc, "_SIMPLE_PATTERNS")
        assert tc.classify_complexity("research the whole garden") is Complexity.COMPLEX
        with pytest.raises(NameError, match="_SIMPLE_PATTERNS"):
            tc.classify_complexity(neutral(5))


# ---------------------------------------------------------------- same verdicts as the rules

ODD = [
    "\x1c", "\x1d", "\x1e", "\x1f", "\x85", "\xa0", "\u2028", "\u3000", "\t", "\n", "\x0b", "\u200b",
    "\u0130", "\u212a", "\u03a3", "\xdf", "\u01c5", "\u0301", "\u0663", "\u0660", "\xb2", "\U0001d7ce",
    "_", "-", ".", "\u00e9", "\ud7ff", "\U0001f600", "\uff10",
]
VOCABULARY = [
    "architect", "design system", "refactor", "multi-step", "multistep", "comprehensive", "in depth",
    "indepth", "analyze", "debug this complex", "plan a project", "write.report", "research", "compare and contrast",
    "investigate", "create an application", "build.system", "implement feature", "strategy", "optimization",
    "trade-off", "deep analysis", "blog post", "article", "essay", "paper", "thesis", "dissertation", "every day",
    "daily", "weekly", "schedule", "cron", "automat", "automate", "while also", "simultaneously", "parallel",
    "worker", "financial", "market", "stock", "crypto", "investment", "500 word", "1234word", "\u0663\u0663\u0663 word",
    "12 word", "500 words", "hello", "hi", "this", "hey", "thanks", "thank you", "ok", "okay", "yes", "no", "sure",
    "what time", "what day", "what date", "weather", "summarize this", "tldr", "quick question", "simple",
    "translate", "convert", "format", "rename", "list", "open", "close", "click", "scroll", "navigate to", "fetch",
    "get", "check", "look up", "find", "RESEARCH", "Hello", "\u0130stanbul", "K\u0130", "garden", "knows", "token",
]
SEPARATORS = [" ", "", "  ", "\xa0", "\x1f", "\u3000", "-", "_", "\u0301", "\n", ".", "\u0663"]
pieces = st.one_of(st.sampled_from(VOCABULARY), st.sampled_from(ODD), st.text(max_size=6))
# Few pattern words per text, so that one word at an odd neighbour often decides the verdict.
texts = st.tuples(
    st.lists(st.tuples(pieces, st.sampled_from(SEPARATORS)), max_size=8),
    st.sampled_from(["", " garden plots", " garden plots and lakes" * 3, " garden" * 30]),
).map(lambda t: "".join(p + s for p, s in t[0]) + t[1])
tool_counts = st.one_of(st.integers(-2, 7), st.sampled_from([2**70, -(2**70)]))


@settings(max_examples=2000, deadline=None)
@given(prompt=texts, tools=tool_counts)
@example(prompt="\u0130" * 12 + " research", tools=0)
@example(prompt="x" * 19 + "\u0130", tools=0)
@example(prompt="this is the garden of the lake, no?", tools=0)
@example(prompt="the garden\x1cof\x1dthe\x1elake\x1fis\x85fine\u2028and\u3000still", tools=2)
@example(prompt="garden plots \u0663\u0663\u0663 words and 5\u0301 word", tools=0)
@example(prompt="garden_ok ok_garden okay\u0301 ok\u0301 garden garden", tools=0)
def test_same_verdict_as_the_rules(prompt, tools):
    assert tc.classify_complexity(prompt, tools) is reference(prompt, tools)


PATTERN_POOL = [
    r"\bherbs?\b", r"(?i)GARDEN", r"a[bc]+d", r"x{2,3}y", r"(ab|cd)*ef", r"(?:ab)+c", r"\d+\s*words?", r"^the",
    r"lake$", r"colou?r", r"\Bing\b", r"(?=look)look", r"(o)\1", r"[^a-z ]{3}", r"\w+@\w+", r"\u00fcber",
    r"i\u0307", r"\.\.\.", r"a|", r"", r"(|x)y", r"\b(?:ok|no)\b", r"\bi\u0307", r"k\b", r"_\b", r"\b-x",
    r"\b\u0663", r"[\]a]b", r"\Agarden", r"end\Z", r"\bgar\bden", r"tree{,2}s", r"s+?t", r"(?:ro)++se", r"\b(i|o)n\b",
]


POOL_WORDS = [
    "herb", "herbs", "HERBS", "Garden", "abd", "acbd", "xxy", "xxxy", "abef", "cdef", "ef", "abc", "ababc", "3 words",
    "12word", "the", "lake", "color", "colour", "sing", "looking", "look", "oo", "a@b", "\u00fcber", "i\u0307",
    "\u0130", "...", "y", "xy", "ok", "no", "k", "_", "-x", "\u0663", "]b", "ab", "end", "gar den", "trees",
    "treees", "st", "sst", "rose", "rorose", "in", "on", "ion",
]
pool_texts = st.lists(st.tuples(st.sampled_from(POOL_WORDS + ODD), st.sampled_from(SEPARATORS)), max_size=8).map(
    lambda parts: "".join(p + s for p, s in parts) + " garden plots"
)


@pytest.mark.parametrize("pattern", PATTERN_POOL)
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(prompt=st.one_of(pool_texts, texts), other=st.lists(st.sampled_from(PATTERN_POOL), max_size=2))
def test_same_verdict_with_other_patterns(monkeypatch, pattern, prompt, other):
    """Each pattern of the pool alone as the complex list, then with others as the simple list."""
    monkeypatch.setattr(tc, "_COMPLEX_PATTERNS", [pattern])
    monkeypatch.setattr(tc, "_SIMPLE_PATTERNS", [])
    assert tc.classify_complexity(prompt) is reference(prompt)
    monkeypatch.setattr(tc, "_SIMPLE_PATTERNS", other + [pattern])
    monkeypatch.setattr(tc, "_COMPLEX_PATTERNS", other[:1])
    assert tc.classify_complexity(prompt) is reference(prompt)
