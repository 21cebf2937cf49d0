"""Skill results as strict JSON: what JSON cannot carry is converted by fixed rules and reported by key path.

A result is whatever a skill returned, so it may hold anything. The command
prints results and contained runs carry them between processes, both as JSON
that any strict parser accepts. The rules:

- a float that is not finite (nan, inf) becomes null;
- an int longer than the interpreter writes in decimal (4300 digits by
  default) becomes its ``hex()`` text;
- a value of a type JSON has no form for (a set, bytes, a date, a path, any
  other object) becomes its ``str()``;
- a key that is not a ``str`` becomes its ``str()``; two keys that then read
  the same are reported as a clash, and the later value is kept;
- a dict, list or tuple that holds itself becomes the text ``"<cycle>"``;
- containers nested deeper than ``DEPTH`` become the text ``"<too deep>"``.

Dicts, lists, tuples (as lists), ``str``, ``int``, finite ``float``, ``bool``
and ``None`` pass unchanged, subclasses included.
"""

import json
import math
import sys

CYCLE = "<cycle>"
TOO_DEEP = "<too deep>"
# Far below the interpreter's recursion limit, far above any real result.
DEPTH = 200
# Ints this short are written in decimal whatever the interpreter's digit limit (at least 640 digits).
ALWAYS_DECIMAL_BITS = 2000

__all__ = ["CYCLE", "TOO_DEEP", "dumps", "refusal", "summary", "to_plain"]


def to_plain(value, where):
    """``(plain, notes)``: the value as JSON can carry it, and what was converted.

    ``where`` names the value in the notes (``"result"`` gives paths such as
    ``result['items'][2]``). Each note is ``(path, what, becomes)``, for
    instance ``("result['when']", "datetime", "str()")``.
    """
    notes = []
    return _plain(value, where, notes, set(), 0), notes


def _text(value):
    try:
        return str(value)
    except Exception:  # a broken __str__ must not lose the result
        return object.__repr__(value)


def _plain(value, where, notes, open_ids, depth):
    if value is None or isinstance(value, str):
        return value
    if isinstance(value, int):  # bool is an int
        if value.bit_length() <= ALWAYS_DECIMAL_BITS or _decimal(value):
            return value
        notes.append((where, f"int of more than {sys.get_int_max_str_digits()} digits", "hex()"))
        return hex(value)
    if isinstance(value, float):
        if math.isfinite(value):
            return value
        notes.append((where, repr(float(value)), "null"))
        return None
    if not isinstance(value, (dict, list, tuple)):
        notes.append((where, type(value).__name__, "str()"))
        return _text(value)
    if id(value) in open_ids:
        notes.append((where, "cycle", repr(CYCLE)))
        return CYCLE
    if depth >= DEPTH:
        notes.append((where, f"nesting deeper than {DEPTH}", repr(TOO_DEEP)))
        return TOO_DEEP
    open_ids.add(id(value))
    try:
        if not isinstance(value, dict):
            return [_plain(item, f"{where}[{index}]", notes, open_ids, depth + 1) for index, item in enumerate(value)]
        plain, originals = {}, {}
        for key, item in value.items():
            text = key if isinstance(key, str) else _text(key)
            path = f"{where}[{_shown(key) if text is key else text}]"
            if text is not key:
                notes.append((path, f"{type(key).__name__} key", repr(text)))
            if text in originals:
                notes.append((where, f"keys {_shown(originals[text])} and {_shown(key)}",
                              f"one key {text!r} (the later value kept)"))
            originals[text] = key
            plain[text] = _plain(item, path, notes, open_ids, depth + 1)
        return plain
    finally:
        open_ids.discard(id(value))


def _decimal(value):
    """Whether the interpreter writes the int in decimal (its digit limit guards against quadratic time)."""
    try:
        int.__repr__(value)
    except ValueError:
        return False
    return True


def _shown(key):
    return str.__repr__(key) if isinstance(key, str) else _text(key)  # a subclass's own repr() may fail


def summary(notes):
    """The one warning line listing what ``to_plain`` converted."""
    return "converted for JSON: " + "; ".join(f"{path} {what} → {becomes}" for path, what, becomes in notes)


def refusal(notes):
    """The ``TypeError`` for a value that had to travel unconverted (parameters)."""
    path, what, _ = notes[0]
    return TypeError(f"{path}: {what} cannot be passed to a contained run (it takes dicts with str keys, lists, "
                     f"tuples, str, int, finite float, bool and None)")


def dumps(plain, encoding="utf-8", **options):
    """Strict JSON text of a plain value: non-ASCII as itself when the text encodes in ``encoding``
    (where it is to be written), else escaped."""
    text = json.dumps(plain, allow_nan=False, ensure_ascii=False, **options)
    try:
        text.encode(encoding)
    except UnicodeEncodeError:  # a narrower encoding, or lone surrogates (a file name that is not UTF-8)
        text = json.dumps(plain, allow_nan=False, **options)
    return text
