"""The shared argument parser, on a probe function declared as

    parse(text: str, mapping: dict, count: int = 0, ratio: float = 1.5, label: str | None = None)
"""

import datetime
import fractions
import inspect
import pathlib

import pytest

import zorvik_layer_probe as probe


class Text(str):
    pass


class Mapping(dict):
    pass


def type_error(*args, **kwargs):
    with pytest.raises(TypeError) as info:
        probe.parse(*args, **kwargs)
    return info.value


def test_accepts_and_fills_defaults():
    assert probe.parse("a", {}) == ("a", {}, 0, 1.5, None)
    assert probe.parse(mapping={"k": 1}, text="b", label="x", count=3, ratio=2) == ("b", {"k": 1}, 3, 2.0, "x")


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "parse() takes at least 2 positional arguments (0 given)"),
        (("a",), {}, "parse() takes at least 2 positional arguments (1 given)"),
        (("a", {}, 0, 1.0, None, 6), {}, "parse() takes at most 5 positional arguments (6 given)"),
        (("a", {}), {"bogus": 1}, "parse() got an unexpected keyword argument 'bogus'"),
        (("a", {}), {"text": "b"}, "parse() got multiple values for keyword argument 'text'"),
        ((), {"mapping": {}}, "parse() takes at least 2 positional arguments (0 given)"),
    ],
)
def test_arity_and_keyword_errors(args, kwargs, message):
    assert str(type_error(*args, **kwargs)) == message


@pytest.mark.parametrize(
    "args, name, expected, got",
    [
        ((None, {}), "text", "str", "NoneType"),
        ((b"a", {}), "text", "str", "bytes"),
        (("a", []), "mapping", "dict", "list"),
        (("a", {}, 1.0), "count", "int", "float"),
        (("a", {}, None), "count", "int", "NoneType"),
        (("a", {}, 0, 1.0, 5), "label", "str", "int"),
        # Named by tp_name: a C type dotted, a class written in Python bare.
        (("a", {}, datetime.date(2026, 1, 1)), "count", "int", "datetime.date"),
        ((pathlib.PurePosixPath("a"), {}), "text", "str", "PurePosixPath"),
    ],
)
def test_wrong_types_are_named(args, name, expected, got):
    error = type_error(*args)
    assert str(error) == f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
    assert not getattr(error, "__notes__", None)


@pytest.mark.parametrize(
    "args, name, expected, got",
    [
        ((Text("a"), {}), "text", "str", "Text"),
        (("a", Mapping()), "mapping", "dict", "Mapping"),
        (("a", {}, True), "count", "int", "bool"),
    ],
)
def test_subclasses_are_refused_with_a_note(args, name, expected, got):
    error = type_error(*args)
    assert str(error) == f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
    assert len(error.__notes__) == 1 and "ubclass" in error.__notes__[0]


@pytest.mark.parametrize("ratio, held", [(2, 2.0), (True, 1.0), (fractions.Fraction(1, 4), 0.25), (2.5, 2.5)])
def test_real_parameters_take_any_real_number(ratio, held):
    value = probe.parse("a", {}, 0, ratio)[3]
    assert type(value) is float and value == held


@pytest.mark.parametrize("ratio", ["1", None, 1j])
def test_real_parameters_refuse_other_objects(ratio):
    type_error("a", {}, 0, ratio)


def test_signature_and_doc():
    assert str(inspect.signature(probe.parse)) == "(text, mapping, count=0, ratio=1.5, label=None)"
    assert probe.parse.__doc__ == "Parse and echo the arguments."
    assert probe.parse.__name__ == probe.parse.__qualname__ == "parse"
    assert not inspect.iscoroutinefunction(probe.parse)
