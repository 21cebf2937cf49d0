"""The conversion rules shared by the command's output and contained runs' results."""

import datetime
import json
import pathlib

import pytest

from zorvik.strict_json import dumps, summary, to_plain


class Unprintable:
    def __str__(self):
        raise RuntimeError("no")


class OddKey(str):
    def __repr__(self):
        raise RuntimeError("no")


cycle = {"a": [1]}
cycle["a"].append(cycle)
shared = [1]
deep = current = []
for _ in range(300):
    current.append([])
    current = current[0]


@pytest.mark.parametrize(
    "value, plain, notes",
    [
        ({"a": [1, (2, "x"), None, True, 1.5]}, {"a": [1, [2, "x"], None, True, 1.5]}, []),
        ([float("nan"), float("-inf")], [None, None], [("r[0]", "nan", "null"), ("r[1]", "-inf", "null")]),
        ({"s": {3}, "b": b"x", "d": datetime.date(2024, 1, 2), "p": pathlib.PurePosixPath("/t")},
         {"s": "{3}", "b": "b'x'", "d": "2024-01-02", "p": "/t"},
         [("r['s']", "set", "str()"), ("r['b']", "bytes", "str()"), ("r['d']", "date", "str()"),
          ("r['p']", "PurePosixPath", "str()")]),
        ({1: "a", "1": "b", None: "c"}, {"1": "b", "None": "c"},
         [("r[1]", "int key", "'1'"), ("r", "keys 1 and '1'", "one key '1' (the later value kept)"),
          ("r[None]", "NoneType key", "'None'")]),
        ({OddKey("1"): "a", 1: "b"}, {"1": "b"},
         [("r[1]", "int key", "'1'"), ("r", "keys '1' and 1", "one key '1' (the later value kept)")]),
        (cycle, {"a": [1, "<cycle>"]}, [("r['a'][1]", "cycle", "'<cycle>'")]),
        ([shared, shared], [[1], [1]], []),  # shared, not cyclic
        ([Unprintable()], [f"<{__name__}.Unprintable object at "], [("r[0]", "Unprintable", "str()")]),
        ([10**4299, 10**4300], [10**4299, hex(10**4300)], [("r[1]", "int of more than 4300 digits", "hex()")]),
    ],
    ids=["plain", "non-finite", "objects", "keys", "key-repr-fails", "cycle", "shared", "unprintable", "huge-int"],
)
def test_conversions_and_their_notes(value, plain, notes):
    converted, found = to_plain(value, "r")
    if isinstance(plain, list) and plain and isinstance(plain[0], str) and plain[0].startswith("<"):
        assert converted[0].startswith(plain[0])
    else:
        assert converted == plain
    assert found == notes
    json.loads(dumps(converted))  # strict: no NaN, no Infinity


def test_deep_nesting_is_cut_and_every_result_prints():
    converted, notes = to_plain(deep, "r")
    assert notes == [("r" + "[0]" * 200, "nesting deeper than 200", "'<too deep>'")]
    json.loads(dumps(converted))
    assert json.loads(dumps({"path": "caf\udce9"})) == {"path": "caf\udce9"}  # a file name that is not UTF-8
    assert summary(notes[:1] * 2).count("nesting") == 2
