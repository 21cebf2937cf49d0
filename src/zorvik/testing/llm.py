"""FakeLLM: the ``openai`` client answered from a queue of replies, each request recorded."""

import types


class OutOfReplies(AssertionError):
    """A FakeLLM was asked for more replies than its test queued."""


class FakeLLM:
    """A scripted stand-in for the ``openai`` client: ``chat.completions.create`` answers from a queue.

    ``replies`` holds the queued replies (given as one ``str``, that is one
    reply), taken in order, one per request: a ``str`` (the reply's text;
    ``None`` for a reply without content), an exception instance, which the
    request raises, or a callable, called with
    the request's dict and answering for it as a ``str`` (or ``None``) would,
    or by raising. ``requests`` records every request as a dict with
    ``model``, ``messages``, ``temperature`` and ``max_tokens`` (``None`` when
    not sent), plus any other keyword the caller sent. A request after the
    queue ran dry raises ``OutOfReplies``; ``unused`` lists the replies no
    request took.

    Pass it as a run's ``llm``, or to ``ZorvikContext(..., llm_client=...)``.
    """

    def __init__(self, replies=()):
        self.replies = [replies] if isinstance(replies, str) else list(replies)
        self.requests = []
        self.chat = types.SimpleNamespace(completions=types.SimpleNamespace(create=self._create))

    @property
    def unused(self):
        return list(self.replies)

    async def _create(self, *, model=None, messages=None, temperature=None, max_tokens=None, **other):
        request = {"model": model, "messages": messages, "temperature": temperature, "max_tokens": max_tokens,
                   **other}
        self.requests.append(request)
        if not self.replies:
            answered = len(self.requests) - 1
            raise OutOfReplies(
                f"FakeLLM has no reply for request {len(self.requests)}: {answered} "
                f"{'reply was' if answered == 1 else 'replies were'} queued and used; add more to its replies")
        reply = self.replies.pop(0)
        if isinstance(reply, BaseException):
            raise reply
        if callable(reply):
            reply = reply(request)
        if reply is not None and not isinstance(reply, str):
            raise TypeError(f"FakeLLM replies are str, exceptions or callables returning str, "
                            f"not {type(reply).__name__}")
        message = types.SimpleNamespace(role="assistant", content=reply)
        choice = types.SimpleNamespace(index=0, message=message, finish_reason="stop")
        return types.SimpleNamespace(id=f"fake-{len(self.requests)}", model=model, choices=[choice], usage=None)
