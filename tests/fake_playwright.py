"""A recording stand-in for ``playwright.async_api``, for tests that must not start a browser.

Every call the engine makes is appended to ``calls`` as ``(what, args, kwargs)``,
``what`` being "<object>.<method>" (for example "page.click"). A call can be made
to fail (``fail[what] = exc``), to return a value (``results[what] = value``), or
to wait until cancelled (``block = what``; ``blocked`` is set once it waits).
"""

import asyncio
import types


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
        self.driver = self.browser = self.context = self.page = None
        self.module = types.ModuleType("playwright.async_api")
        self.module.async_playwright = self.async_playwright

    async def call(self, what, *args, **kwargs):
        self.calls.append((what, args, kwargs))
        if what == self.block:
            self.blocked.set()
            await asyncio.Event().wait()
        if what in self.fail:
            raise self.fail[what]
        return self.results.get(what)

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
