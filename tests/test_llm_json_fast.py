"""llm_json reads replies natively only where json.loads would give the very same
objects: differential checks against json.loads over generated documents and near
misses, a json module or loads replaced by the host, and llm_ask or log replaced on
the class or the instance after the context has been used."""

import decimal
import json
import math
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from zorvik.skills import skill_engine as engine

NS = types.SimpleNamespace
relaxed = settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


class Client:
    """chat.completions.create answering at once with `reply`."""

    def __init__(self, reply=""):
        self.reply = reply
        self.chat = NS(completions=NS(create=self.create))

    async def create(self, **kwargs):
        return NS(choices=[NS(message=NS(content=self.reply))])


def drive(coro):
    """Runs a coroutine that never suspends."""
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("the coroutine suspended")


def outcome(fn):
    try:
        return ("value", fn())
    except Exception as e:  # noqa: BLE001 - the kind and text are compared
        return ("raises", type(e), str(e))


def expected(text):
    """llm_json's answer for a reply without fences, through json.loads itself."""

    def read():
        try:
            value = json.loads(text.strip())
        except json.JSONDecodeError:
            return {"raw_response": text, "parse_error": True}
        if value is not None and type(value) is not dict:
            raise TypeError(f"Expected dict, got {type(value).__name__}")
        return value

    return outcome(read)


def answered(text):
    ctx = engine.ZorvikContext("json", llm_client=Client(text))
    return outcome(lambda: drive(ctx.llm_json("Q?")))


def same(a, b):
    """Equal, of the same types throughout (bool, int and float kept apart, the
    sign of a zero and NaN included), with dict keys in the same order."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return same(list(a), list(b)) and all(same(a[k], b[k]) for k in a)
    return a == b


def key_sharing(value):
    """For each dict key in document order, the position of the first key that is
    the same object: json.loads makes equal keys of one document one str."""
    keys = []

    def walk(v):
        if isinstance(v, dict):
            for k, item in v.items():
                keys.append(k)
                walk(item)
        elif isinstance(v, list):
            for item in v:
                walk(item)

    walk(value)
    return [next(i for i, seen in enumerate(keys) if seen is k) for k in keys]


def check(text):
    got, want = answered(text), expected(text)
    assert same(got, want), (text, got, want)
    if got[0] == "value":
        assert key_sharing(got[1]) == key_sharing(want[1])


names = st.text(max_size=6) | st.sampled_from(["a", "b", "id", "é", "\U0001d11e"])
scalars = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.floats()
    | st.sampled_from([0.0, -0.0, 1e308, 5e-324, 1e16, 123456789012345678, -(10**18) + 1, 10**18])
    | st.text()
)
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=5) | st.dictionaries(names, inner, max_size=5),
    max_leaves=30,
)
layouts = st.fixed_dictionaries(
    {"indent": st.sampled_from([None, 0, 2, "\t", " \r\n"]), "ensure_ascii": st.booleans()}
)


@relaxed
@given(value=values, layout=layouts, wrap=st.booleans())
def test_generated_documents_read_as_json_loads_reads_them(value, layout, wrap):
    check(json.dumps({"v": value, "w": [value]} if wrap else value, **layout))


@relaxed
@given(value=values, layout=layouts, data=st.data())
def test_near_misses_read_as_json_loads_reads_them(value, layout, data):
    """A valid document with a few characters inserted, replaced or removed."""
    text = json.dumps({"k": value}, **layout)
    edit = st.tuples(st.integers(0, len(text)), st.integers(0, 2), st.sampled_from(NEAR_MISS_CHARS))
    for at, kind, char in data.draw(st.lists(edit, min_size=1, max_size=3)):
        at = min(at, len(text))
        text = text[:at] + char + text[at + (kind > 0):] if kind < 2 else text[:at] + text[at + 1:]
    check(text)


NEAR_MISS_CHARS = list('{}[]",:-+.0123456789eEtrufalsnNI \t\n\r\f\v\x00\x1f\x7f\\/u\xa0\ufeff\u2028é\ud800')


@pytest.mark.parametrize(
    "text",
    [
        "-0", "-0.0", "0", "1e400", "-1e400", "1e-400", "1E+2", "1e-2", "0.1", "2.5e+0", "123456789012345678",
        "-123456789012345678", "1234567890123456789", "12345678901234567890", "-9223372036854775809",
        "0." + "1" * 80, "1" * 5000, "1.", "01", "-", "-01", "1e", "1e+", ".5", "+1", "0x10", "1_000",
        "NaN", "-Infinity", "Infinity", "nan", "true", "false", "null", "nul", "tru", "nullx", "[]", "{}",
        '"\\u00e9"', '"é"', '"\\ud800"', '"\\ud834\\udd1e"', '"\ud800"', '"\U0001d11e"', '"\x7f"', '"\x1f"',
        '"\t"', '"a\\"b"', '"', '"abc', '{"a": 1, "b": 2, "a": 3}', '{"a": {"a": {"a": []}}}',
        '{"é": 1, "\\u00e9": 2}', '[1, 2, 3,]', '{"a": 1,}', "[1 2]", '{"a" 1}', '{"a": 1}x', "[1] [2]",
        '{"a":\f1}', '{"a":\xa01}', '{\v"a": 1}', "\ufeff{}", "{} \t\r\n", "[" * 63 + "]" * 63,
        "[" * 64 + "]" * 64, "[" * 65 + "]" * 65, "[" * 400 + "]" * 400, '{"x": ' * 70 + "1" + "}" * 70,
        '{"a": "x", "b": "y", "c": 1.5, "d": [true, false, null], "e": {}}', "", "   ", "prose",
    ],
    ids=lambda text: ascii(text)[:40],
)
@pytest.mark.parametrize("inside", [False, True])
def test_edge_cases_read_as_json_loads_reads_them(text, inside):
    check('{"v": ' + text + "}" if inside else text)


def test_many_member_names_share_objects_past_the_first_few():
    doc = [{f"k{i % 40}": i} for i in range(120)]
    check(json.dumps(doc))
    check(json.dumps({"v": doc}))


def test_fenced_and_padded_replies_read_the_block():
    reply = 'Sure:\n```json\n\u00a0{"a": [1, 2.5, "é"], "b": null}\u3000\n```\nDone.'
    assert same(answered(reply), ("value", {"a": [1, 2.5, "é"], "b": None}))


class Text(str):
    pass


@pytest.mark.parametrize("reply", ['{"a": [1, "é"]}', '```json\n{"\U0001d11e": [null, 2.5]}\n```'])
async def test_a_str_subclass_from_an_overriding_llm_ask_reads_like_a_str(reply):
    class Scripted(engine.ZorvikContext):
        async def llm_ask(self, prompt, system=""):
            return Text(reply)

    assert same(("value", await Scripted("json").llm_json("Q?")), answered(reply))


class Recording:
    def __init__(self, result):
        self.calls, self.result = [], result

    def __call__(self, text):
        self.calls.append(text)
        return self.result


@pytest.mark.parametrize("target", ["loads", "module", "decoder"])
async def test_a_replaced_json_reader_is_what_reads(monkeypatch, target):
    record = Recording({"from": "host"})
    if target == "loads":
        monkeypatch.setattr(json, "loads", record)
    elif target == "module":
        monkeypatch.setattr(engine, "json", NS(loads=record, JSONDecodeError=json.JSONDecodeError))
    else:
        monkeypatch.setattr(json, "_default_decoder", json.JSONDecoder(parse_float=decimal.Decimal))
    ctx = engine.ZorvikContext("json", llm_client=Client('```json\n{"x": 1.5}\n```'))
    result = await ctx.llm_json("Q?")
    if target == "decoder":
        assert same(result, {"x": decimal.Decimal("1.5")})
    else:
        assert result == {"from": "host"} and record.calls == ['{"x": 1.5}']


async def test_json_restored_is_read_natively_again(monkeypatch):
    ctx = engine.ZorvikContext("json", llm_client=Client('{"x": 1}'))
    with monkeypatch.context() as patch:
        patch.setattr(json, "loads", Recording({"from": "host"}))
        assert await ctx.llm_json("Q?") == {"from": "host"}
    assert await ctx.llm_json("Q?") == {"x": 1}


def log_messages(ctx):
    return [entry.split("] ", 1)[1] for entry in ctx.get_logs()]


@pytest.mark.parametrize("where", ["class", "instance"])
async def test_log_and_llm_ask_replaced_after_use_are_called(monkeypatch, where):
    class Context(engine.ZorvikContext):
        pass

    ctx = Context("json", llm_client=Client('{"a": 1}'))
    assert await ctx.llm_json("Q?") == {"a": 1}  # the context's own methods, remembered
    seen = []

    async def ask(*args):
        seen.append("ask")
        return '{"asked": true}'

    owner = Context if where == "class" else ctx
    monkeypatch.setattr(owner, "log", lambda *args: seen.append(args[-1]))
    assert await ctx.llm_json("Q?") == {"a": 1}
    assert seen == ["LLM response: 8 chars"]
    monkeypatch.setattr(owner, "llm_ask", ask if where == "instance" else lambda self, *a: ask())
    assert await ctx.llm_json("Q?") == {"asked": True}
    assert seen[1:] == ["ask"]
    monkeypatch.undo()
    assert await ctx.llm_json("Q?") == {"a": 1}
    assert log_messages(ctx) == ["LLM response: 8 chars"] * 2


@pytest.mark.parametrize("name, calls", [("log", ["LLM response: 4 chars"]), ("llm_ask", ["Q?"])])
async def test_methods_served_by_getattribute_are_called(name, calls):
    seen = []

    async def ask(prompt, system=""):
        seen.append(prompt)
        return "null"

    served = {"log": seen.append, "llm_ask": ask}[name]

    class Context(engine.ZorvikContext):
        def __getattribute__(self, attribute):
            return served if attribute == name else super().__getattribute__(attribute)

    assert await Context("json", llm_client=Client("null")).llm_json("Q?") is None
    assert seen == calls


async def test_a_base_class_changed_after_use_is_seen(monkeypatch):
    class Middle(engine.ZorvikContext):
        pass

    class Context(Middle):
        pass

    ctx = Context("json", llm_client=Client("null"))
    assert await ctx.llm_json("Q?") is None
    seen = []
    monkeypatch.setattr(Middle, "log", lambda self, message: seen.append(message), raising=False)
    assert await ctx.llm_json("Q?") is None
    assert seen == ["LLM response: 4 chars"]
