"""FakeBrowser: Playwright's async API answered from a dict of pages, without Chromium or a network.

Every object the fake hands out stands for one of Playwright's classes (the
driver, the browser type, the browser, the context, the page, locators and
whatever else their methods return) and answers every public method of that
class: its names, and which of them are coroutines, are read from
Playwright's own classes when Playwright is installed, so the fake cannot
fall behind it. A few methods behave as a page would (navigation, selectors,
scripts, files); the rest record the call and return what ``answers`` says.
"""

import asyncio
import contextlib
import functools
import importlib.util
import inspect
import json
import os
import struct
import typing
import zlib
from pathlib import Path

from zorvik.host import suggestion
from zorvik.testing.standin import StandIn

BODY_TEXT = "() => document.body.innerText"
WAIT_UNTIL = ("load", "domcontentloaded", "networkidle", "commit")
UNANSWERED = object()
# Playwright's classes of which a browser has one above another: a method
# declared to return one of these gives the one already above the caller.
CHAIN = ("Playwright", "BrowserType", "Browser", "BrowserContext", "Page")


class Lookalikes:
    """Playwright's two error types, for tests on a machine without Playwright."""

    class Error(Exception):
        def __init__(self, message):
            super().__init__(message)
            self.message = message
            self.name = type(self).__name__
            self.stack = None

    class TimeoutError(Error):
        pass


def png(width=1, height=1):
    """A small valid PNG image (white)."""

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    rows = b"".join(b"\0" + b"\xff" * 3 * width for _ in range(height))
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")


class FakePage:
    """One page of a FakeBrowser: its body text, the CSS selectors on it, the results of scripts, its links.

    ``selectors`` (one ``str``, or several) are matched as written (no CSS
    is parsed); the selectors of ``links`` are on the page too. ``evaluate``
    maps a script to what ``page.evaluate`` returns for it: a key is the
    script's exact text or a callable ``(script) -> bool``; a value is the
    result, an exception instance to raise, or a callable of the script
    returning the result. The body-text script of ``ctx.browser_get_text()``
    returns ``text`` unless ``evaluate`` says otherwise. ``links`` maps a
    selector to a URL of the FakeBrowser's pages: a click on it navigates
    there.
    """

    def __init__(self, text="", selectors=(), evaluate=None, links=None):
        self.text = text
        self.links = dict(links or {})
        selectors = [selectors] if isinstance(selectors, str) else list(selectors)
        self.selectors = tuple(dict.fromkeys([*selectors, *self.links]))
        self.evaluate = dict(evaluate or {})

    def __repr__(self):
        return (f"FakePage({self.text!r}, selectors={self.selectors!r}, evaluate={self.evaluate!r}, "
                f"links={self.links!r})")

    def result(self, script):
        """What ``page.evaluate(script)`` gives on this page; UNANSWERED when nothing is set for it."""
        if script in self.evaluate:
            value = self.evaluate[script]
        else:
            value = next((v for k, v in self.evaluate.items() if callable(k) and k(script)), UNANSWERED)
            if value is UNANSWERED:
                return self.text if script == BODY_TEXT else UNANSWERED
        if isinstance(value, BaseException):
            raise value
        return value(script) if callable(value) else value


BLANK = FakePage()


class FakeBrowser:
    """A stand-in for Playwright's async API that serves pages from a dict, without Chromium or a network.

    ``pages`` maps a URL to the page's body text (a ``str``) or to a
    ``FakePage``. ``calls`` records every Playwright method call as
    ``(method name, args, kwargs)``, from ``("async_playwright", (), {})``
    and ``("launch", (), {"headless": True, ...})`` to ``("goto", (url,),
    {...})`` and the final ``close`` and ``stop``. ``answers`` sets what a
    method returns, instead of what the fake does: the key is the method's
    name, or ``"Class.name"`` for one class only (``"Browser.close"``); the
    value is returned, raised when it is an exception instance, or called
    with the call's arguments when it is callable (and what that returns
    awaited by a coroutine method, when it can be).

    As Playwright would, a URL that is not in ``pages`` fails to load
    (``Error``), and a selector the current page lacks fails a ``click``,
    ``fill``, ``wait_for_selector`` or ``set_input_files`` (``TimeoutError``),
    of the page or of a locator made by ``page.locator(selector)``, and so
    does a selector still there for a wait with ``state="detached"`` or
    ``"hidden"``, but at once rather than after the time-out. These are
    Playwright's own error types when Playwright is installed, else
    look-alikes of the same names.
    ``screenshot`` writes a small valid PNG and ``storage_state`` a valid JSON
    file; a page of a closed browser refuses every call. Any other method of
    Playwright's classes is recorded and returns ``None``, or a fake of the
    Playwright object it is declared to return (a ``Locator``, the
    ``Keyboard``...); a name Playwright does not have raises
    ``AttributeError`` with the closest name. Without Playwright installed,
    every other public name is taken for a coroutine method.
    """

    def __init__(self, pages=None):
        self.pages = dict(pages or {})
        self.calls = []
        self.answers = {}
        # Installed in place of playwright.async_api during a run; it also
        # finds the error types to raise and the classes to follow.
        self.module = StandIn(
            "playwright.async_api",
            {"async_playwright": self._async_playwright},
            fallbacks={"Error": Lookalikes.Error, "TimeoutError": Lookalikes.TimeoutError},
        )

    def _error(self, kind, message):
        return getattr(self.module, kind)(message)

    def _api(self, kind):
        """Playwright's own class named ``kind``, or None (also without Playwright).

        The module exports typing's names too: ``Union`` and ``Any`` are
        classes, and a method declared to return them returns no Playwright
        object.
        """
        api = getattr(self.module._real_module(), kind, None)
        return api if inspect.isclass(api) and api.__module__.startswith("playwright.async_api") else None

    def installed(self):
        """``playwright.async_api`` replaced by ``module`` (and the package too, when it is not installed)."""
        stack = contextlib.ExitStack()
        try:
            present = importlib.util.find_spec("playwright") is not None
        except (ImportError, ValueError):
            present = False
        if not present:
            # Importing a submodule imports its package first.
            stack.enter_context(StandIn("playwright", {"async_api": self.module}))
        stack.enter_context(self.module)
        return stack

    # What each call goes through, in this order; the project's own tests
    # build fault injection on these.

    def _record(self, obj, name, args, kwargs):
        self.calls.append((name, tuple(args), dict(kwargs)))

    async def _wait(self, obj, name):
        """Where a call of a coroutine method could wait; the fake answers at once."""

    def _answer(self, obj, name, args, kwargs):
        """Refuses a call on a closed object, else gives what ``answers`` says (UNANSWERED when nothing)."""
        if name not in obj.WHEN_CLOSED and obj._closed:
            raise self._error("Error", f"{obj._kind}.{name}: Target page, context or browser has been closed")
        answer = self.answers.get(f"{obj._kind}.{name}", self.answers.get(name, UNANSWERED))
        if isinstance(answer, BaseException):
            raise answer
        return answer(*args, **kwargs) if callable(answer) else answer

    def _page(self, url):
        page = self.pages.get(url)
        if page is None:
            return None
        return FakePage(page) if isinstance(page, str) else page

    def _async_playwright(self):
        self.calls.append(("async_playwright", (), {}))
        return _Manager(self)


def recorded(method):
    """A method of a fake object with behaviour of its own; its calls go the way of all others (``_Object._method``)."""
    name = method.__name__
    awaited = inspect.iscoroutinefunction(method)
    return property(lambda self: self._method(name, awaited, functools.partial(method, self)))


class _Object:
    """A fake of one Playwright object, of Playwright's class ``kind``, made by ``owner``."""

    # Methods that work on an object already closed.
    WHEN_CLOSED = ()

    def __init__(self, fake, owner, kind):
        self._fake = fake
        self._kind = kind
        self._owner = owner
        self._closed = False
        self._children = []

    def __repr__(self):
        return f"<fake {self._kind}>"

    def _shut(self):
        self._closed = True
        for child in self._children:
            child._shut()

    def _adopt(self, child):
        self._children.append(child)
        if self._closed:
            child._shut()
        return child

    def _nearest(self, kind):
        """This object, or the nearest of its owners, of Playwright's class ``kind``; None when there is none."""
        found = self
        while found is not None and found._kind != kind:
            found = found._owner
        return found

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        api = self._fake._api(self._kind)
        if api is None:
            return self._method(name, True, lambda *args, **kwargs: None)
        member = inspect.getattr_static(api, name, None)
        if member is None:
            close = suggestion(name, dir(api))
            hint = f". Did you mean: {close!r}?" if close else ""
            raise AttributeError(f"{self._kind!r} object has no attribute {name!r}{hint}")
        if isinstance(member, property):
            answer = self._fake.answers.get(f"{self._kind}.{name}", self._fake.answers.get(name, UNANSWERED))
            return self._made(name, member.fget, ()) if answer is UNANSWERED else answer
        return self._method(name, inspect.iscoroutinefunction(member),
                            lambda *args, **kwargs: self._made(name, member, args))

    def _method(self, name, awaited, behaviour):
        """The method ``name``: each call is recorded, refused on a closed object, and answered from ``answers``,
        else by ``behaviour(*args, **kwargs)``; a coroutine method awaits an awaitable answer."""
        fake = self._fake

        def call(*args, **kwargs):
            fake._record(self, name, args, kwargs)
            answer = fake._answer(self, name, args, kwargs)
            return behaviour(*args, **kwargs) if answer is UNANSWERED else answer

        async def coroutine(*args, **kwargs):
            fake._record(self, name, args, kwargs)
            await fake._wait(self, name)
            answer = fake._answer(self, name, args, kwargs)
            if answer is UNANSWERED:
                answer = behaviour(*args, **kwargs)
            return await answer if inspect.isawaitable(answer) else answer

        method = coroutine if awaited else call
        method.__name__ = method.__qualname__ = name
        return method

    def _made(self, name, declared, args):
        """What a method or property without behaviour of its own returns: a fake of its declared class, or None."""
        returns = inspect.signature(declared).return_annotation
        kind = getattr(returns, "__name__", returns)
        if kind == "AsyncEventContextManager":  # page.expect_popup() and its kin
            (event,) = typing.get_args(returns)
            value = self._new(getattr(event, "__forward_arg__", event), name, args)
            return self._adopt(_Expected(self._fake, self, value))
        existing = self._nearest(kind) if kind in CHAIN else None
        return existing if existing is not None else self._new(kind, name, args)

    def _new(self, kind, name, args):
        """A new fake of Playwright's class ``kind``, made by this object's method ``name``; None for another kind."""
        if not isinstance(kind, str) or self._fake._api(kind) is None:
            return None
        if kind == "Locator":
            return self._adopt(_Locator(self._fake, self, _selector(self, name, args)))
        made = FAKES.get(kind)
        return self._adopt(made(self._fake, self) if made else _Object(self._fake, self, kind))


def _selector(owner, name, args):
    """The selector a new locator matches on the page, where it is one (else None: not checked)."""
    if name == "locator" and owner._kind == "Page" and args and isinstance(args[0], str):
        return args[0]
    if name in ("first", "last", "nth") and isinstance(owner, _Locator):
        return owner._selector
    return None


class _Manager(_Object):
    def __init__(self, fake):
        super().__init__(fake, None, "PlaywrightContextManager")

    @recorded
    async def start(self):
        return self._adopt(_Driver(self._fake, self))


class _Driver(_Object):
    WHEN_CLOSED = ("stop",)

    def __init__(self, fake, owner):
        super().__init__(fake, owner, "Playwright")
        self.chromium = _BrowserType(fake, self)

    @recorded
    async def stop(self):
        self._shut()


class _BrowserType(_Object):
    name = "chromium"

    def __init__(self, fake, owner):
        super().__init__(fake, owner, "BrowserType")

    @recorded
    async def launch(self, **kwargs):
        return self._adopt(_Browser(self._fake, self))


class _Closes(_Object):
    """A browser or a context: its ``close`` ends it and all it made, and may be called again."""

    WHEN_CLOSED = ("close",)

    @recorded
    async def close(self, **kwargs):
        self._shut()


class _Browser(_Closes):
    def __init__(self, fake, owner):
        super().__init__(fake, owner, "Browser")

    @recorded
    async def new_context(self, **kwargs):
        state = kwargs.get("storage_state")
        if isinstance(state, (str, os.PathLike)):
            json.loads(Path(state).read_text(encoding="utf-8"))  # Playwright reads it, and fails as this does
        return self._adopt(_Context(self._fake, self))


class _Context(_Closes):
    def __init__(self, fake, owner):
        super().__init__(fake, owner, "BrowserContext")

    @recorded
    async def new_page(self):
        return self._adopt(_Page(self._fake, self))

    @recorded
    async def storage_state(self, path=None, **kwargs):
        state = {"cookies": [], "origins": []}
        if path is not None:
            Path(path).parent.mkdir(parents=True, exist_ok=True)
            Path(path).write_text(json.dumps(state), encoding="utf-8")
        return state


class _Page(_Object):
    WHEN_CLOSED = ("is_closed",)

    def __init__(self, fake, owner):
        super().__init__(fake, owner, "Page")
        self.url = "about:blank"
        self._content = BLANK

    def _need(self, method, selector, timeout, state=None):
        """Fails at once where Playwright would time out: ``selector`` is not on the page, or still is when the
        wait is for it to go (``state`` "detached" or "hidden")."""
        gone = state in ("detached", "hidden")
        if selector is not None and (selector in self._content.selectors) == gone:
            shown = "30000" if timeout is None else f"{timeout:g}"
            found = "is still on" if gone else "is not on"
            raise self._fake._error(
                "TimeoutError",
                f'{method}: Timeout {shown}ms exceeded: "{selector}" {found} {self.url} '
                f"({'among' if gone else 'not among'} its FakePage selectors)")

    def _load(self, method, url):
        page = self._fake._page(url)
        if page is None:
            raise self._fake._error("Error", f"{method}: net::ERR_NAME_NOT_RESOLVED at {url} (not in FakeBrowser.pages)")
        self.url, self._content = url, page

    def _click(self, method, selector, timeout):
        self._need(method, selector, timeout)
        if selector in self._content.links:
            self._load(method, self._content.links[selector])

    @recorded
    async def goto(self, url, **kwargs):
        wait_until = kwargs.get("wait_until")
        if wait_until is not None and wait_until not in WAIT_UNTIL:
            raise self._fake._error("Error", f"Page.goto: wait_until: expected one of ({'|'.join(WAIT_UNTIL)})")
        self._load("Page.goto", url)

    @recorded
    async def click(self, selector, **kwargs):
        self._click("Page.click", selector, kwargs.get("timeout"))

    @recorded
    async def fill(self, selector, value, **kwargs):
        self._need("Page.fill", selector, kwargs.get("timeout"))

    @recorded
    async def wait_for_selector(self, selector, **kwargs):
        self._need("Page.wait_for_selector", selector, kwargs.get("timeout"), kwargs.get("state"))

    @recorded
    async def evaluate(self, expression, arg=None):
        value = self._content.result(expression)
        if value is UNANSWERED:
            raise self._fake._error(
                "Error",
                f"Page.evaluate: no result for this script on {self.url} (add it to the FakePage's evaluate): "
                f"{expression}")
        return value

    @recorded
    async def screenshot(self, path=None, **kwargs):
        image = png()
        if path is not None:
            Path(path).parent.mkdir(parents=True, exist_ok=True)
            Path(path).write_bytes(image)
        return image

    @recorded
    async def set_input_files(self, selector, files, **kwargs):
        self._need("Page.set_input_files", selector, kwargs.get("timeout"))
        _read(files)

    @recorded
    async def close(self, **kwargs):
        self._shut()

    @recorded
    def is_closed(self):
        return self._closed


class _Locator(_Object):
    """A locator of a page: those made by ``page.locator(selector)`` check their selector as the page does."""

    def __init__(self, fake, owner, selector=None):
        super().__init__(fake, owner, "Locator")
        self._selector = selector

    def _page(self):
        return self._nearest("Page")

    @recorded
    async def click(self, **kwargs):
        self._page()._click("Locator.click", self._selector, kwargs.get("timeout"))

    @recorded
    async def fill(self, value, **kwargs):
        self._page()._need("Locator.fill", self._selector, kwargs.get("timeout"))

    @recorded
    async def wait_for(self, **kwargs):
        self._page()._need("Locator.wait_for", self._selector, kwargs.get("timeout"), kwargs.get("state"))

    @recorded
    async def set_input_files(self, files, **kwargs):
        self._page()._need("Locator.set_input_files", self._selector, kwargs.get("timeout"))
        _read(files)


class _Expected(_Object):
    """What an ``expect_*`` method returns: ``async with page.expect_popup() as info:`` ... ``await info.value``.

    The event has happened by the end of the block: its value is a fake of
    the class Playwright declares (a new page for a popup), or None.
    """

    def __init__(self, fake, owner, value):
        super().__init__(fake, owner, "AsyncEventContextManager")
        self._value = value

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc):
        return None

    @property
    def value(self):
        return asyncio.sleep(0, self._value)

    def is_done(self):
        return True


FAKES = {"Browser": _Browser, "BrowserContext": _Context, "Page": _Page, "Locator": _Locator}


def _read(files):
    for file in files if isinstance(files, (list, tuple)) else [files]:
        if isinstance(file, (str, os.PathLike)):
            os.stat(file)  # Playwright reads the files first: a missing one fails with FileNotFoundError


class WithoutPauses:
    """``asyncio`` as the engine sees it while a FakeBrowser is installed: ``sleep`` returns at once.

    The engine pauses one second after each navigation, through the
    ``asyncio`` of its own module, so that a real page can settle; a fake page
    has nothing to settle. Everything else is the real ``asyncio``.
    """

    def __getattr__(self, name):
        return getattr(asyncio, name)

    @staticmethod
    async def sleep(delay, result=None):
        await asyncio.sleep(0)
        return result
