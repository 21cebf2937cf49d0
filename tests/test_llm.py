"""The context's LLM access: request shape, replies, JSON reading, client creation."""

import asyncio
import sys
import types

import pytest

from openai_stub import ChatStub

NS = types.SimpleNamespace


def completion(content):
    return NS(choices=[NS(message=NS(content=content))])


class FakeClient:
    """chat.completions.create recording its keyword arguments; each reply is
    a content, a whole response, an exception to raise or a coroutine to await."""

    def __init__(self, *replies):
        self.calls, self.replies = [], list(replies)
        self.chat = NS(completions=NS(create=self.create))

    async def create(self, **kwargs):
        self.calls.append(kwargs)
        reply = self.replies.pop(0)
        if isinstance(reply, BaseException):
            raise reply
        if asyncio.iscoroutine(reply):
            return await reply
        return completion(reply) if reply is None or isinstance(reply, str) else reply


def context(engine, *replies, **kwargs):
    return engine.ZorvikContext("llm", llm_client=FakeClient(*replies), **kwargs)


def messages(ctx):
    return [entry.split("] ", 1)[1] for entry in ctx.get_logs()]


@pytest.mark.parametrize(
    "system, sent",
    [
        ("", [{"role": "user", "content": "Q?"}]),
        (" ", [{"role": "system", "content": " "}, {"role": "user", "content": "Q?"}]),
    ],
)
async def test_request_shape(engine, system, sent):
    ctx = context(engine, "A.", llm_model="model-x")
    assert await ctx.llm_ask("Q?", system) == "A."
    assert ctx._llm.calls == [{"model": "model-x", "messages": sent, "max_tokens": 4096}]


@pytest.mark.parametrize("method", ["llm_ask", "llm_json"])
@pytest.mark.parametrize(
    "args, message",
    [
        ((None,), "Argument 'prompt' has incorrect type (expected str, got NoneType)"),
        (("Q", None), "Argument 'system' has incorrect type (expected str, got NoneType)"),
        (("Q", b"S"), "Argument 'system' has incorrect type (expected str, got bytes)"),
    ],
)
def test_wrong_argument_types_are_refused_at_the_call(engine, method, args, message):
    ctx = context(engine, "A.")
    with pytest.raises(TypeError) as info:
        getattr(ctx, method)(*args)  # no coroutine exists to be left unawaited
    assert str(info.value) == message


@pytest.mark.parametrize("content, text, count", [("héllo → ✓", "héllo → ✓", 9), (None, "", 0), ("", "", 0)])
async def test_reply_text_and_its_log_line(engine, content, text, count):
    ctx = context(engine, content)
    assert await ctx.llm_ask("Q?") == text
    assert messages(ctx) == [f"LLM response: {count} chars"]


@pytest.mark.parametrize(
    "reply, kind, text",
    [
        (ConnectionError("rate limited"), ConnectionError, "rate limited"),
        (NS(choices=[]), IndexError, "list index out of range"),
        (completion(["not", "text"]), TypeError, "Expected str, got list"),
    ],
)
async def test_failures_are_logged_and_raised_unchanged(engine, reply, kind, text):
    ctx = context(engine, reply)
    with pytest.raises(kind) as info:
        await ctx.llm_ask("Q?")
    assert str(info.value) == text
    assert info.value is reply or not isinstance(reply, BaseException)
    assert messages(ctx) == [f"LLM call failed: {text}"]


async def test_cancellation_passes_through_unlogged(engine):
    ctx = context(engine, asyncio.Event().wait())
    task = asyncio.create_task(ctx.llm_ask("Q?"))
    await asyncio.sleep(0)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert ctx.get_logs() == []


@pytest.mark.parametrize(
    "reply, value",
    [
        ('Here:\n```json\n{"a": 1}\n```\nMore?', {"a": 1}),
        ('```\n{"a": 1}', {"a": 1}),
        ('```{"bare": 1}``` then ```json\n{"tagged": 1}\n```', {"tagged": 1}),
        ('```\n{"a": 1}\n```\n```\n{"b": 2}\n```', {"a": 1}),
        ("  null\n", None),
        ('\u3000{"a": 1}\u2003', {"a": 1}),  # white space as str.strip knows it
    ],
)
async def test_json_replies_are_unwrapped_and_parsed(engine, reply, value):
    assert await context(engine, reply).llm_json("Q?") == value


def replace_in_a_subclass(engine, ctx, name, fn, monkeypatch):
    return type("Sub", (engine.ZorvikContext,), {name: lambda self, *args: fn(*args)})("llm", ctx._llm)


def replace_on_the_instance(engine, ctx, name, fn, monkeypatch):
    monkeypatch.setattr(ctx, name, fn, raising=False)
    return ctx


def replace_on_the_class(engine, ctx, name, fn, monkeypatch):
    class Context(engine.ZorvikContext):
        pass

    monkeypatch.setattr(Context, name, lambda self, *args: fn(*args))
    return Context("llm", ctx._llm)


def serve_from_getattribute(engine, ctx, name, fn, monkeypatch):
    class Context(engine.ZorvikContext):
        def __getattribute__(self, attribute):
            return fn if attribute == name else super().__getattribute__(attribute)

    return Context("llm", ctx._llm)


@pytest.mark.parametrize("replace", [replace_in_a_subclass, replace_on_the_instance, replace_on_the_class,
                                     serve_from_getattribute])
async def test_llm_json_asks_and_logs_through_the_instance(engine, monkeypatch, replace):
    asked, logged = [], []

    async def ask(prompt, system=""):
        asked.append((prompt, system))
        return '```json\n{"a": 1}\n```'

    ctx = context(engine, "{}", "not json")
    used = await ctx.llm_json("first")  # the context's own methods first
    ctx = replace(engine, ctx, "log", logged.append, monkeypatch)
    assert (used, await ctx.llm_json("Q?")) == ({}, {"raw_response": "not json", "parse_error": True})
    assert logged == ["LLM response: 8 chars", "Failed to parse LLM response as JSON: not json"]
    ctx = replace(engine, ctx, "llm_ask", ask, monkeypatch)
    assert await ctx.llm_json("p", "s") == {"a": 1} and asked == [("p", "s")]


class Text(str):
    pass


@pytest.mark.parametrize(
    "answer, outcome",
    [
        (Text('```json\n{"\U0001d11e": [null, 2.5]}\n```'), {"\U0001d11e": [None, 2.5]}),
        (42, AttributeError("'int' object has no attribute 'strip'")),
    ],
)
async def test_what_an_overriding_llm_ask_answers_is_read_as_a_reply(engine, answer, outcome):
    class Scripted(engine.ZorvikContext):
        async def llm_ask(self, prompt, system=""):
            return answer

    if isinstance(outcome, Exception):
        with pytest.raises(type(outcome)) as info:
            await Scripted("llm").llm_json("Q?")
        assert str(info.value) == str(outcome)
    else:
        assert await Scripted("llm").llm_json("Q?") == outcome


class Recording:
    def __init__(self, result):
        self.calls, self.result = [], result

    def __call__(self, text):
        self.calls.append(text)
        return self.result


@pytest.mark.parametrize("target", ["loads", "module"])
async def test_the_json_reader_is_the_one_bound_at_the_call(engine, monkeypatch, target):
    import json

    record = Recording({"from": "host"})
    if target == "loads":
        monkeypatch.setattr(json, "loads", record)
    else:
        monkeypatch.setattr(engine, "json", NS(loads=record, JSONDecodeError=json.JSONDecodeError))
    assert await context(engine, '```json\n{"x": 1.5}\n```').llm_json("Q?") == {"from": "host"}
    assert record.calls == ['{"x": 1.5}']


@pytest.mark.parametrize("reply, type_name", [("[1, 2]", "list"), ('"text"', "str"), ("1.5", "float"), ("true", "bool")])
async def test_json_values_other_than_objects_raise(engine, reply, type_name):
    with pytest.raises(TypeError) as info:
        await context(engine, reply).llm_json("Q?")
    assert str(info.value) == f"Expected dict, got {type_name}"


PROSE = "é" * 150 + " and then " + "x" * 100


@pytest.mark.parametrize(
    "reply, shown",
    [
        ('```JSON\n{"a": 1}\n```', 'JSON\n{"a": 1}'),
        ("  not json  \n", "not json"),
        ('{"x": "```"}', '"}'),  # a fence inside the JSON text opens a block
        (None, ""),
        (PROSE, PROSE[:200]),
    ],
)
async def test_unparsable_replies_give_the_parse_error_dict(engine, reply, shown):
    ctx = context(engine, reply)
    result = await ctx.llm_json("Q?")
    assert list(result.items()) == [("raw_response", reply or ""), ("parse_error", True)]
    assert messages(ctx)[1:] == [f"Failed to parse LLM response as JSON: {shown}"]


async def test_the_client_is_created_on_first_use_once_and_retried_after_a_failure(engine):
    made = []

    class Counting(engine.ZorvikContext):
        def _create_llm_client(self):
            made.append(FakeClient("one", "two"))
            if len(made) == 1:
                raise ConnectionError("no endpoint")
            return made[-1]

    ctx = Counting("llm")
    with pytest.raises(ConnectionError):
        await ctx.llm_ask("Q?")
    assert ctx._llm is None and ctx.get_logs() == []
    assert [await ctx.llm_ask("1"), await ctx.llm_ask("2")] == ["one", "two"]
    assert len(made) == 2 and ctx._llm is made[1]


def client_module(factory=None):
    module = types.ModuleType("openai")
    if factory:
        module.AsyncOpenAI = factory
    return module


def failing_import():
    raise ImportError("the HTTP layer is missing")


@pytest.mark.parametrize(
    "installed, context_text",
    [
        (None, "import of openai halted; None in sys.modules"),
        (client_module(), "cannot import name 'AsyncOpenAI' from 'openai' (unknown location)"),
        (client_module(failing_import), "the HTTP layer is missing"),
    ],
)
async def test_missing_openai_is_reported_with_a_fixed_text(engine, monkeypatch, installed, context_text):
    monkeypatch.setitem(sys.modules, "openai", installed)
    ctx = engine.ZorvikContext("llm")
    with pytest.raises(RuntimeError) as info:
        await ctx.llm_ask("Q?")
    assert str(info.value) == "openai package not installed. Run: pip install openai"
    cause = info.value.__context__
    assert isinstance(cause, ImportError) and str(cause) == context_text
    assert info.value.__cause__ is None and not info.value.__suppress_context__
    assert ctx._llm is None and ctx.get_logs() == []


def test_other_construction_failures_propagate(engine, monkeypatch):
    openai = pytest.importorskip("openai")
    monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    with pytest.raises(openai.OpenAIError):
        engine.ZorvikContext("llm")._create_llm_client()


@pytest.fixture
async def service(engine, monkeypatch):
    """The real openai client, made by the context, talking to a local service."""
    pytest.importorskip("openai")
    with ChatStub() as stub:
        monkeypatch.setenv("OPENAI_BASE_URL", stub.base_url)
        monkeypatch.setenv("OPENAI_API_KEY", "sk-test-key")
        stub.ctx = engine.ZorvikContext("llm", llm_model="stub-model")
        yield stub
        if stub.ctx._llm is not None:
            await stub.ctx._llm.close()


async def test_the_openai_client_talks_to_the_configured_service(service):
    service.reply_text('Sure:\n```json\n{"ok": true}\n```')
    service.reply_text("plain answer")
    assert await service.ctx.llm_json("Give JSON", "Be terse.") == {"ok": True}
    assert await service.ctx.llm_ask("Again") == "plain answer"
    (path, headers, body), (_, _, second) = service.requests
    assert path == "/v1/chat/completions" and headers["authorization"] == "Bearer sk-test-key"
    assert body == {
        "model": "stub-model",
        "messages": [{"role": "system", "content": "Be terse."}, {"role": "user", "content": "Give JSON"}],
        "max_tokens": 4096,
    }
    assert second["messages"] == [{"role": "user", "content": "Again"}]


@pytest.mark.parametrize("status, error_name", [(401, "AuthenticationError"), (500, "InternalServerError")])
async def test_service_errors_surface_as_the_clients_exceptions(service, status, error_name):
    import openai

    service.reply_error(status, "denied by the stub")
    with pytest.raises(getattr(openai, error_name)) as info:
        await service.ctx.llm_ask("Q?")
    assert info.value.status_code == status and "denied by the stub" in str(info.value)
    assert messages(service.ctx) == [f"LLM call failed: {info.value}"]
    assert len(service.requests) == 1
