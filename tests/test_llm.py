"""The context's LLM access: request shape, replies, JSON reading, client creation."""

import asyncio
import sys
import types

import pytest

from openai_stub import ChatStub


class FakeClient:
    """Offers chat.completions.create and records each call's keyword arguments."""

    def __init__(self, *replies):
        self.calls = []
        self.replies = list(replies)
        self.chat = types.SimpleNamespace(completions=types.SimpleNamespace(create=self.create))

    async def create(self, **kwargs):
        self.calls.append(kwargs)
        reply = self.replies.pop(0)
        if isinstance(reply, BaseException):
            raise reply
        if callable(reply):
            return await reply()
        return reply


def completion(content):
    message = types.SimpleNamespace(content=content)
    return types.SimpleNamespace(choices=[types.SimpleNamespace(message=message)])


def context(engine, *contents, **kwargs):
    replies = [c if isinstance(c, BaseException) or callable(c) else completion(c) for c in contents]
    return engine.ZorvikContext("llm", llm_client=FakeClient(*replies), **kwargs)


def messages(ctx):
    return [entry.split("] ", 1)[1] for entry in ctx.get_logs()]


# ---------------------------------------------------------------- requests


@pytest.mark.parametrize(
    "system, sent",
    [
        ("", [{"role": "user", "content": "Q?"}]),
        (" ", [{"role": "system", "content": " "}, {"role": "user", "content": "Q?"}]),
        ("Be brief.", [{"role": "system", "content": "Be brief."}, {"role": "user", "content": "Q?"}]),
    ],
)
async def test_request_carries_model_messages_and_token_limit(engine, system, sent):
    ctx = context(engine, "A.", llm_model="model-x")
    assert await ctx.llm_ask("Q?", system) == "A."
    (call,) = ctx._llm.calls
    assert call == {"model": "model-x", "messages": sent, "max_tokens": 4096}
    assert [list(m) for m in call["messages"]] == [["role", "content"]] * len(sent)


@pytest.mark.parametrize("method", ["llm_ask", "llm_json"])
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((None,), {}, "Argument 'prompt' has incorrect type (expected str, got NoneType)"),
        ((b"Q",), {}, "Argument 'prompt' has incorrect type (expected str, got bytes)"),
        (("Q", None), {}, "Argument 'system' has incorrect type (expected str, got NoneType)"),
        (("Q",), {"system": 1}, "Argument 'system' has incorrect type (expected str, got int)"),
    ],
)
def test_wrong_argument_types_are_refused_at_the_call(engine, method, args, kwargs, message):
    ctx = context(engine, "A.")
    with pytest.raises(TypeError) as info:
        getattr(ctx, method)(*args, **kwargs)
    assert str(info.value) == message
    assert ctx._llm.calls == [] and ctx.get_logs() == []


# ---------------------------------------------------------------- replies


@pytest.mark.parametrize(
    "content, text, count",
    [("twelve chars", "twelve chars", 12), ("héllo → ✓", "héllo → ✓", 9), (None, "", 0), ("", "", 0)],
)
async def test_reply_text_and_its_log_line(engine, content, text, count):
    ctx = context(engine, content)
    assert await ctx.llm_ask("Q?") == text
    assert messages(ctx) == [f"LLM response: {count} chars"]


class Boom(Exception):
    pass


@pytest.mark.parametrize(
    "reply, kind, text",
    [
        (Boom("rate limited"), Boom, "rate limited"),
        (types.SimpleNamespace(choices=[]), IndexError, "list index out of range"),
        (completion(["not", "text"]), TypeError, "Expected str, got list"),
        (types.SimpleNamespace(), AttributeError, "'types.SimpleNamespace' object has no attribute 'choices'"),
    ],
)
async def test_failures_are_logged_and_raised_unchanged(engine, reply, kind, text):
    ctx = engine.ZorvikContext("llm", llm_client=FakeClient(reply))
    with pytest.raises(kind) as info:
        await ctx.llm_ask("Q?")
    if isinstance(reply, BaseException):
        assert info.value is reply
    assert str(info.value) == text
    assert messages(ctx) == [f"LLM call failed: {text}"]


async def test_cancellation_passes_through_unlogged(engine):
    started = asyncio.Event()

    async def never():
        started.set()
        await asyncio.Event().wait()

    ctx = context(engine, never)
    task = asyncio.create_task(ctx.llm_ask("Q?"))
    await started.wait()
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert ctx.get_logs() == []


# ---------------------------------------------------------------- JSON replies

FENCED = [
    ('Here it is:\n```json\n{"a": 1}\n```\nAnything else?', {"a": 1}),
    ('```\n{"a": 1}', {"a": 1}),
    ('```json {"a": 1}', {"a": 1}),
    ('  {"a": [1, 2]}\n', {"a": [1, 2]}),
    ('```{"bare": 1}``` then ```json\n{"tagged": 1}\n```', {"tagged": 1}),
    ('```\n{"a": 1}\n```\n```\n{"b": 2}\n```', {"a": 1}),
    ("null", None),
    ("```json\nnull\n```", None),
]


@pytest.mark.parametrize("reply, value", FENCED)
async def test_json_replies_are_unwrapped_and_parsed(engine, reply, value):
    ctx = context(engine, reply)
    assert await ctx.llm_json("Q?") == value


@pytest.mark.parametrize(
    "reply, type_name",
    [("[1, 2]", "list"), ('"text"', "str"), ("3", "int"), ("1.5", "float"), ("true", "bool"),
     ('```\n{"a": 1}\n```\n```json\n[1]\n```', "list")],
)
async def test_json_values_other_than_objects_raise(engine, reply, type_name):
    ctx = context(engine, reply)
    with pytest.raises(TypeError) as info:
        await ctx.llm_json("Q?")
    assert str(info.value) == f"Expected dict, got {type_name}"


PROSE = "é" * 150 + " and then " + "x" * 100


@pytest.mark.parametrize(
    "reply, shown",
    [
        ("The answer is yes.", "The answer is yes."),
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
    raw = reply or ""
    assert result == {"raw_response": raw, "parse_error": True}
    assert list(result) == ["raw_response", "parse_error"]
    assert result["raw_response"] is raw or raw == ""
    assert messages(ctx)[1:] == [f"Failed to parse LLM response as JSON: {shown}"]


async def test_json_reading_uses_the_modules_json(engine, monkeypatch):
    seen = []
    fake_json = types.SimpleNamespace(loads=lambda text: seen.append(text) or {"via": "host"},
                                      JSONDecodeError=ValueError)
    monkeypatch.setattr(engine, "json", fake_json)
    ctx = context(engine, "```json\n<anything>\n```")
    assert await ctx.llm_json("Q?") == {"via": "host"}
    assert seen == ["<anything>"]


async def test_llm_json_asks_through_the_instances_llm_ask(engine):
    class Scripted(engine.ZorvikContext):
        async def llm_ask(self, prompt, system=""):
            return f'{{"prompt": "{prompt}", "system": "{system}"}}'

    assert await Scripted("llm").llm_json("p", "s") == {"prompt": "p", "system": "s"}


# ---------------------------------------------------------------- the client


async def test_the_client_is_created_once_on_first_use(engine):
    created = []

    class Counting(engine.ZorvikContext):
        def _create_llm_client(self):
            created.append(FakeClient(completion("one"), completion("two")))
            return created[-1]

    ctx = Counting("llm")
    assert ctx._llm is None
    assert [await ctx.llm_ask("1"), await ctx.llm_ask("2")] == ["one", "two"]
    assert len(created) == 1 and ctx._llm is created[0]


async def test_a_failed_creation_is_not_logged_and_tried_again(engine):
    attempts = []

    class Flaky(engine.ZorvikContext):
        def _create_llm_client(self):
            attempts.append(1)
            if len(attempts) == 1:
                raise Boom("no endpoint")
            return FakeClient(completion("ok"))

    ctx = Flaky("llm")
    with pytest.raises(Boom):
        await ctx.llm_ask("Q?")
    assert ctx._llm is None and ctx.get_logs() == []
    assert await ctx.llm_ask("Q?") == "ok"


MISSING = "openai package not installed. Run: pip install openai"


def module_without_client():
    return types.ModuleType("openai")


def module_whose_client_fails_to_import():
    module = types.ModuleType("openai")

    def AsyncOpenAI():
        raise ImportError("the HTTP layer is missing")

    module.AsyncOpenAI = AsyncOpenAI
    return module


@pytest.mark.parametrize(
    "installed, context_text",
    [
        (None, "import of openai halted; None in sys.modules"),
        (module_without_client, "cannot import name 'AsyncOpenAI' from 'openai'"),
        (module_whose_client_fails_to_import, "the HTTP layer is missing"),
    ],
)
async def test_missing_openai_is_reported_with_a_fixed_text(engine, monkeypatch, installed, context_text):
    monkeypatch.setitem(sys.modules, "openai", installed() if installed else None)
    ctx = engine.ZorvikContext("llm")
    with pytest.raises(RuntimeError) as info:
        await ctx.llm_ask("Q?")
    assert str(info.value) == MISSING
    assert isinstance(info.value.__context__, ImportError)
    assert str(info.value.__context__) == context_text
    assert info.value.__cause__ is None and not info.value.__suppress_context__
    assert ctx._llm is None and ctx.get_logs() == []


def test_other_construction_failures_propagate(engine, monkeypatch):
    openai = pytest.importorskip("openai")
    monkeypatch.delenv("OPENAI_API_KEY", raising=False)
    with pytest.raises(openai.OpenAIError):
        engine.ZorvikContext("llm")._create_llm_client()


# ---------------------------------------------------------------- the real client against a local service


@pytest.fixture
def service(monkeypatch):
    pytest.importorskip("openai")
    with ChatStub() as stub:
        monkeypatch.setenv("OPENAI_BASE_URL", stub.base_url)
        monkeypatch.setenv("OPENAI_API_KEY", "sk-test-key")
        yield stub


@pytest.fixture
async def real_ctx(engine, service):
    ctx = engine.ZorvikContext("llm", llm_model="stub-model")
    yield ctx
    if ctx._llm is not None:
        await ctx._llm.close()


async def test_the_openai_client_talks_to_the_configured_service(real_ctx, service):
    import openai

    service.reply_text("Sure:\n```json\n{\"ok\": true}\n```")
    service.reply_text("plain answer")
    assert await real_ctx.llm_json("Give JSON", "You are terse.") == {"ok": True}
    assert isinstance(real_ctx._llm, openai.AsyncOpenAI)
    client = real_ctx._llm
    assert await real_ctx.llm_ask("Again") == "plain answer"
    assert real_ctx._llm is client
    (path, headers, body), (_, _, second) = service.requests
    assert path == "/v1/chat/completions"
    assert headers["authorization"] == "Bearer sk-test-key"
    assert body == {
        "model": "stub-model",
        "messages": [{"role": "system", "content": "You are terse."}, {"role": "user", "content": "Give JSON"}],
        "max_tokens": 4096,
    }
    assert second["messages"] == [{"role": "user", "content": "Again"}]


@pytest.mark.parametrize(
    "status, error_name",
    [(401, "AuthenticationError"), (500, "InternalServerError"), (429, "RateLimitError")],
)
async def test_service_errors_surface_as_the_clients_exceptions(real_ctx, service, status, error_name):
    import openai

    service.reply_error(status, "denied by the stub")
    with pytest.raises(getattr(openai, error_name)) as info:
        await real_ctx.llm_ask("Q?")
    assert info.value.status_code == status
    assert "denied by the stub" in str(info.value)
    assert messages(real_ctx) == [f"LLM call failed: {info.value}"]
    assert len(service.requests) == 1
