"""The native coroutine type against the interpreter's own coroutines.

Every protocol assertion runs twice: once on an ``async def`` coroutine and
once on the native one, which must behave the same.
"""

import asyncio
import gc
import inspect
import json
import sys
import types
import warnings
import weakref

import pytest

import zorvik_layer_probe as probe


async def relay(awaitable):
    return await awaitable


async def relay_catching(awaitable):
    try:
        return await awaitable
    except Exception as e:
        return ("caught", e)


async def hold_across(factory, awaitable):
    kept = factory()
    await awaitable
    return kept


IMPLS = {
    "python": (relay, relay_catching, hold_across),
    "native": (probe.relay, probe.relay_catching, probe.hold_across),
}


@pytest.fixture(params=IMPLS, ids=list(IMPLS))
def impl(request):
    return IMPLS[request.param]


class Step:
    """An awaitable whose iterator yields `token` once and returns what is sent back."""

    def __init__(self, token="token", on_throw=None):
        self.token = token
        self.on_throw = on_throw
        self.closed = False

    def __await__(self):
        try:
            return (yield self.token)
        except GeneratorExit:
            self.closed = True
            raise
        except Exception as e:
            if self.on_throw is None:
                raise
            return self.on_throw(e)


def finish(coro, value=None):
    with pytest.raises(StopIteration) as stop:
        coro.send(value)
    return stop.value.value


def test_yields_pass_out_and_sent_values_come_back(impl):
    coro = impl[0](Step())
    assert coro.send(None) == "token"
    assert finish(coro, 42) == 42


def test_awaitable_that_never_yields_finishes_at_once(impl):
    async def ready():
        return "ready"

    assert finish(impl[0](ready())) == "ready"


def test_throw_reaches_the_awaited_iterator_first(impl):
    coro = impl[0](Step(on_throw=lambda e: f"handled {e}"))
    coro.send(None)
    assert pytest.raises(StopIteration, coro.throw, ValueError("x")).value.value == "handled x"


def test_exception_from_the_awaitable_reaches_the_frame(impl):
    coro = impl[1](Step())
    coro.send(None)
    error = ValueError("bad")
    assert pytest.raises(StopIteration, coro.throw, error).value.value == ("caught", error)


@pytest.mark.parametrize("thrown", [KeyboardInterrupt, asyncio.CancelledError, GeneratorExit])
def test_base_exceptions_pass_exception_handlers(impl, thrown):
    coro = impl[1](Step())
    coro.send(None)
    with pytest.raises(thrown):
        coro.throw(thrown())


def test_throw_into_unstarted_coroutine_raises_and_closes(impl):
    coro = impl[0](Step())
    with pytest.raises(ValueError):
        coro.throw(ValueError())
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


def test_close_suspended_closes_the_awaited_iterator(impl):
    step = Step()
    coro = impl[0](step)
    coro.send(None)
    assert coro.close() is None
    assert step.closed
    assert coro.close() is None


def test_close_unstarted_runs_nothing_and_warns_nothing(impl):
    step = Step()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        coro = impl[0](step)
        coro.close()
        del coro
        gc.collect()
    assert not step.closed


def test_close_reports_ignored_generator_exit(impl):
    class Stubborn:
        def __await__(self):
            try:
                yield "once"
            except GeneratorExit:
                pass
            yield "again"

    coro = impl[0](Stubborn())
    coro.send(None)
    with pytest.raises(RuntimeError) as info:
        coro.close()
    # The awaited generator ignored GeneratorExit; the interpreter's message says so.
    assert str(info.value) == "generator ignored GeneratorExit"
    assert coro.close() is None


@pytest.mark.parametrize("method", ["send", "throw"])
def test_finished_coroutine_cannot_be_resumed(impl, method):
    coro = impl[0](Step())
    coro.send(None)
    finish(coro)
    with pytest.raises(RuntimeError) as info:
        coro.send(None) if method == "send" else coro.throw(ValueError())
    assert str(info.value) == "cannot reuse already awaited coroutine"


def test_first_send_must_be_none(impl):
    coro = impl[0](Step())
    with pytest.raises(TypeError) as info:
        coro.send(1)
    assert str(info.value) == "can't send non-None value to a just-started coroutine"
    coro.close()


def test_unawaited_coroutine_warns_when_dropped(impl):
    with pytest.warns(RuntimeWarning) as record:
        coro = impl[0](None)
        del coro
        gc.collect()
    assert [str(w.message) for w in record] == [f"coroutine '{impl[0].__qualname__}' was never awaited"]


@pytest.mark.parametrize(
    ("misuse", "message"),
    [
        (lambda c: c.get, "'coroutine' object has no attribute 'get'"),
        (lambda c: c["success"], "'coroutine' object is not subscriptable"),
        (iter, "'coroutine' object is not iterable"),
        (len, "object of type 'coroutine' has no len()"),
        (lambda c: c + 1, "unsupported operand type(s) for +: 'coroutine' and 'int'"),
        (json.dumps, "Object of type coroutine is not JSON serializable"),
    ],
)
def test_messages_call_it_a_coroutine(impl, misuse, message):
    """What a forgotten await leads to reads the same for both."""
    coro = impl[0](None)
    try:
        with pytest.raises((AttributeError, TypeError)) as info:
            misuse(coro)
    finally:
        coro.close()
    assert str(info.value) == message


@pytest.fixture
def track_origins():
    """Sets the origin tracking depth for the test."""
    saved = sys.get_coroutine_origin_tracking_depth()
    yield sys.set_coroutine_origin_tracking_depth
    sys.set_coroutine_origin_tracking_depth(saved)


def made_by(impl):
    return impl[0](None), inspect.currentframe().f_lineno


def test_origin_is_recorded_only_while_tracking(impl, track_origins):
    track_origins(2)
    coro, made_at = made_by(impl)
    called_at = inspect.currentframe().f_lineno - 1
    coro.close()
    name = "test_origin_is_recorded_only_while_tracking"
    assert coro.cr_origin == ((__file__, made_at, "made_by"), (__file__, called_at, name))
    track_origins(0)
    coro = impl[0](None)
    coro.close()
    assert coro.cr_origin is None


def test_unawaited_warning_shows_the_origin(impl, track_origins):
    track_origins(1)
    with pytest.warns(RuntimeWarning) as record:
        made_at = inspect.currentframe().f_lineno + 1
        coro = impl[0](None)
        del coro
        gc.collect()
    assert [str(w.message) for w in record] == [
        f"coroutine 'relay' was never awaited\n"
        f"Coroutine created at (most recent call last)\n"
        f'  File "{__file__}", line {made_at}, in test_unawaited_warning_shows_the_origin\n'
        f"    coro = impl[0](None)"
    ]


@pytest.mark.parametrize("value", [5, None, "text"])
def test_awaiting_a_non_awaitable(impl, value):
    coro = impl[0](value)
    with pytest.raises(TypeError) as info:
        coro.send(None)
    assert str(info.value) == f"'{type(value).__name__}' object can't be awaited"


def test_stop_iteration_cannot_escape(impl):
    class Stopper:
        def __await__(self):
            raise StopIteration("inside")

    coro = impl[0](Stopper())
    with pytest.raises(RuntimeError) as info:
        coro.send(None)
    assert str(info.value) == "coroutine raised StopIteration"
    assert isinstance(info.value.__cause__, StopIteration)


def test_stop_iteration_thrown_at_the_await_is_its_value(impl):
    class Plain:
        """An awaitable whose iterator has no throw()."""

        def __await__(self):
            return self

        def __next__(self):
            return "token"

    coro = impl[0](Plain())
    coro.send(None)
    assert pytest.raises(StopIteration, coro.throw, StopIteration("inside")).value.value == "inside"


def test_state_attributes_follow_the_protocol(impl):
    step = Step()
    coro = impl[0](step)
    assert not coro.cr_running and not coro.cr_suspended and coro.cr_await is None
    coro.send(None)
    assert coro.cr_suspended and not coro.cr_running
    assert coro.cr_await is not None
    finish(coro)
    assert not coro.cr_suspended and coro.cr_await is None


def test_identity(impl):
    coro = impl[0](None)
    try:
        assert asyncio.iscoroutine(coro)
        assert isinstance(coro, types.CoroutineType) == (impl[0] is relay)
        assert coro.__name__ == "relay"
        assert repr(coro).startswith("<coroutine object relay at 0x")
        assert inspect.iscoroutinefunction(impl[0])
    finally:
        coro.close()


async def test_event_loop_drives_it(impl):
    async def later(value, delay=0.01):
        await asyncio.sleep(delay)
        return value

    assert await impl[0](later(1)) == 1
    assert await asyncio.gather(impl[0](later(2)), impl[0](asyncio.sleep(0.01, 3))) == [2, 3]
    assert await asyncio.create_task(impl[0](later(4))) == 4
    with pytest.raises(TimeoutError):
        await asyncio.wait_for(impl[0](later(5, delay=10)), 0.02)


async def test_cancellation_passes_through_exception_handlers(impl):
    started = asyncio.Event()

    async def wait_forever():
        started.set()
        await asyncio.sleep(3600)

    task = asyncio.create_task(impl[1](wait_forever()))
    await started.wait()
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task


async def test_nested_native_tasks():
    async def later(value):
        await asyncio.sleep(0)
        return value

    assert await probe.nested_sum(later(2), later(3)) == 5


@pytest.mark.parametrize("value", ["text", None])
async def test_declared_result_passes(value):
    assert await probe.give_text(value) == value


@pytest.mark.parametrize("value, name", [(5, "int"), (b"x", "bytes"), (type("S", (str,), {})("x"), "S")])
async def test_declared_result_refused(value, name):
    with pytest.raises(TypeError) as info:
        await probe.give_text(value)
    assert str(info.value).startswith("Expected str, got ") and str(info.value).endswith(name)


class Kept:
    pass


class Parked:
    """An awaitable that yields once; its iterator does not refer back to it."""

    def __init__(self, log):
        self._iterator = self._park(log)

    @staticmethod
    def _park(log):
        try:
            yield "parked"
        except GeneratorExit:
            log.append("closed")
            raise

    def __await__(self):
        return self._iterator


@pytest.mark.parametrize("via", ["kept object", "awaitable"])
def test_a_cycle_through_a_suspended_coroutine_is_collected_and_closed(impl, via):
    made, log = [], []
    parked = Parked(log)
    coro = impl[2](lambda: made.append(Kept()) or made[-1], parked)
    assert coro.send(None) == "parked"
    kept = made.pop()
    (kept if via == "kept object" else parked).coro = coro
    gone = weakref.ref(kept)
    del kept, parked, coro
    gc.collect()
    assert gone() is None
    assert log == ["closed"]


def test_finishing_with_none_raises_a_bare_stop_iteration(impl):
    coro = impl[0](Step())
    coro.send(None)
    with pytest.raises(StopIteration) as stop:
        coro.send(None)
    assert stop.value.args == ()
