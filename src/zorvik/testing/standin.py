"""A module put in ``sys.modules`` in place of a package while one of the kit's fakes is installed."""

import importlib
import sys
import types

ABSENT = object()


class StandIn(types.ModuleType):
    """A module put in ``sys.modules`` in place of a package while a fake is installed.

    It defines the names the fake provides; any other name is taken from the
    real package, imported on first need (so a skill can still catch the
    package's exception types), or from ``fallbacks`` when the package is not
    installed.
    """

    def __init__(self, name, names, fallbacks=None):
        super().__init__(name, f"Stand-in for {name} (zorvik.testing).")
        vars(self).update(names)
        self._fallbacks = fallbacks or {}
        self._saved = None
        self._real = None

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        real = self._real_module()
        if real is not None:
            return getattr(real, name)
        if name in self._fallbacks:
            return self._fallbacks[name]
        raise AttributeError(f"module {self.__name__!r} has no attribute {name!r} (and the package is not installed)")

    def _real_module(self):
        if self._real is None:
            mine = sys.modules.pop(self.__name__, ABSENT)
            try:
                self._real = importlib.import_module(self.__name__)
            except ImportError:
                self._real = False
            finally:
                if mine is not ABSENT:
                    sys.modules[self.__name__] = mine
        return self._real or None

    def __enter__(self):
        self._saved = sys.modules.get(self.__name__, ABSENT)
        sys.modules[self.__name__] = self
        return self

    def __exit__(self, *exc):
        # A real package imported meanwhile stays imported, as after any import.
        restored = self._real or self._saved
        if restored is ABSENT:
            sys.modules.pop(self.__name__, None)
        else:
            sys.modules[self.__name__] = restored
