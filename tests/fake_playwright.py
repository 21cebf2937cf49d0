"""The kit's FakeBrowser as the engine's own browser tests need it: calls by object, faults, held-up steps.

Every call is appended to ``calls`` as ``(what, args, kwargs)``, ``what`` being
"<object>.<method>" (for example "page.click"; "async_playwright" alone). The
page answers every operation with ``None`` (no pages are served); the
browser's opening and closing steps make and end the kit's fake objects. A
call can be made to fail (``fail[what] = exc``), to return a value
(``results[what] = value``), or to hold up (``block = what``; ``blocked`` is
set once it waits). A held-up call raises when it is cancelled itself;
otherwise it finishes, as a start in progress would, once ``release`` is set
or, unless ``release_on_cancel`` is false, as soon as another task of the
loop is asked to cancel (the caller's, when the engine waits for the call
shielded from cancellation).
"""

import asyncio
import types

from zorvik.testing import FakeBrowser
from zorvik.testing.browser import UNANSWERED

OBJECTS = {"PlaywrightContextManager": "manager", "Playwright": "driver", "BrowserType": "chromium",
           "Browser": "browser", "BrowserContext": "context", "Page": "page"}


@types.coroutine
def _next_round():
    """One turn of the event loop, whatever asyncio.sleep has been replaced with."""
    yield


def last(owner, kind):
    """The last object of Playwright's class ``kind`` that ``owner`` made, or None."""
    return next((c for c in reversed(owner._children) if c._kind == kind), None) if owner else None


class FakePlaywright(FakeBrowser):
    def __init__(self):
        super().__init__()
        self.fail = {}
        self.results = {}
        self.block = None
        self.blocked = asyncio.Event()
        self.release = asyncio.Event()
        self.release_on_cancel = True
        self.manager = None

    # The objects the last opening made (None for those it did not make).

    @property
    def driver(self):
        return last(self.manager, "Playwright")

    @property
    def browser(self):
        return last(self.driver and self.driver.chromium, "Browser")

    @property
    def context(self):
        return last(self.browser, "BrowserContext")

    @property
    def page(self):
        return last(self.context, "Page")

    def async_playwright(self):
        self.manager = super()._async_playwright()
        return self.manager

    _async_playwright = async_playwright

    def _record(self, obj, name, args, kwargs):
        self.calls.append((f"{OBJECTS[obj._kind]}.{name}", tuple(args), dict(kwargs)))

    async def _wait(self, obj, name):
        if f"{OBJECTS[obj._kind]}.{name}" == self.block:
            self.blocked.set()
            await self._held_up()

    async def _held_up(self):
        me = asyncio.current_task()
        while not self.release.is_set():
            if self.release_on_cancel and any(t.cancelling() for t in asyncio.all_tasks() if t is not me):
                return
            await _next_round()

    def _answer(self, obj, name, args, kwargs):
        what = f"{OBJECTS[obj._kind]}.{name}"
        if what in self.fail:
            raise self.fail[what]
        if what in self.results:
            return self.results[what]
        return None if obj._kind == "Page" else UNANSWERED

    def names(self):
        return [what for what, _, _ in self.calls]

    def of(self, what):
        """The (args, kwargs) of every call of ``what``."""
        return [(args, kwargs) for name, args, kwargs in self.calls if name == what]
