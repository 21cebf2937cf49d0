"""A recording stand-in for ``playwright.async_api``, for tests that must not start a browser.

Every call the engine makes is appended to ``calls`` as ``(what, args, kwargs)``,
``what`` being "<object>.<method>" (for example "page.click"). A call can be made
to fail (``fail[what] = exc``), to return a value (``results[what] = value``), or
to hold up (``block = what``; ``blocked`` is set once it waits). A held-up call
raises when it is cancelled itself; otherwise it finishes, as a start in progress
would, once ``release`` is set or, unless ``release_on_cancel`` is false, as soon
as another task of the loop is asked to cancel (the caller's, when the engine
waits for the call shielded from cancellation).
"""

import asyncio
import types


@types.coroutine
def _next_round():
    """One turn of the event loop, whatever asyncio.sleep has been replaced with."""
    yield


class Stub:
    """An object whose methods are recorded coroutines; ``makes[name](kwargs)`` builds a method's result."""

    def __init__(self, fake, kind, **makes):
        self._fake, self._kind, self._makes = fake, kind, makes

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)

        async def method(*args, **kwargs):
            result = await self._fake.call(f"{self._kind}.{name}", *args, **kwargs)
            make = self._makes.get(name)
            return make(kwargs) if make else result

        return method


class FakePlaywright:
    def __init__(self):
        self.calls = []
        self.fail = {}
        self.results = {}
        self.block = None
        self.blocked = asyncio.Event()
        self.release = asyncio.Event()
        self.release_on_cancel = True
        self.driver = self.browser = self.context = self.page = None
        self.module = types.ModuleType("playwright.async_api")
        self.module.async_playwright = self.async_playwright

    async def call(self, what, *args, **kwargs):
        self.calls.append((what, args, kwargs))
        if what == self.block:
            self.blocked.set()
            await self._held_up()
        if what in self.fail:
            raise self.fail[what]
        return self.results.get(what)

    async def _held_up(self):
        me = asyncio.current_task()
        while not self.release.is_set():
            if self.release_on_cancel and any(t.cancelling() for t in asyncio.all_tasks() if t is not me):
                return
            await _next_round()

    def names(self):
        return [what for what, _, _ in self.calls]

    def of(self, what):
        """The (args, kwargs) of every call of ``what``."""
        return [(args, kwargs) for name, args, kwargs in self.calls if name == what]

    def async_playwright(self):
        self.calls.append(("async_playwright", (), {}))
        return Stub(self, "manager", start=self._driver)

    def _driver(self, _):
        self.driver = Stub(self, "driver")
        self.driver.chromium = Stub(self, "chromium", launch=self._browser)
        return self.driver

    def _browser(self, _):
        self.browser = Stub(self, "browser", new_context=self._context)
        return self.browser

    def _context(self, _):
        self.context = Stub(self, "context", new_page=self._page, storage_state=self._save)
        return self.context

    def _page(self, _):
        self.page = Stub(self, "page")
        return self.page

    @staticmethod
    def _save(kwargs):
        with open(kwargs["path"], "w") as f:
            f.write('{"cookies": [], "origins": []}')
