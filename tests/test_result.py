"""PythonSkillResult: a data class of the interpreter's own kind, and its plain-dict form."""

import dataclasses
import decimal
import fractions
import math
import random
import struct

import pytest

KEYS = ["success", "skill_name", "result", "error", "logs", "duration_seconds", "output_files"]


def test_is_a_data_class_with_the_documented_fields(engine):
    cls = engine.PythonSkillResult
    fields = dataclasses.fields(cls)
    assert [(f.name, f.type) for f in fields] == [
        ("success", "bool"), ("skill_name", "str"), ("result", "Any"), ("error", "str | None"),
        ("logs", "list[str]"), ("duration", "float"), ("output_files", "list[str]")]
    assert cls.__doc__ == "Result of a Python skill execution."
    assert cls.__module__ == "zorvik.skills.skill_engine"
    first, second = cls(True, "a"), cls(True, "a")
    assert first == second and first.logs is not second.logs and first.output_files is not second.output_files
    assert repr(first) == ("PythonSkillResult(success=True, skill_name='a', result=None, error=None, logs=[], "
                           "duration=0.0, output_files=[])")
    with pytest.raises(TypeError):
        cls(True)


def test_to_dict_keys_values_and_identity(engine):
    logs, files, result = ["[00:00:01] x"], ["/o/f"], {"k": 1}
    r = engine.PythonSkillResult(False, "s", result, "E: e", logs, 1.23456, files)
    d = r.to_dict()
    assert list(d) == KEYS
    assert d == {"success": False, "skill_name": "s", "result": result, "error": "E: e", "logs": logs,
                 "duration_seconds": 1.23, "output_files": files}
    assert d["logs"] is logs and d["output_files"] is files and d["result"] is result
    assert d is not r.to_dict()


def edge_floats():
    yield from [0.0, -0.0, 0.005, -0.005, 0.125, 0.375, 2.675, 1.005, 1e-300, 5e-324, 1e15 + 0.125,
                2.0**40 - 0.005, 2.0**40, -(2.0**40), 1e300, math.inf, -math.inf, math.nan]
    for cents in range(-20000, 20000, 7):
        for delta in (-1e-9, 0.0, 1e-9):
            yield cents / 100 + 0.005 + delta
    rng = random.Random(20240601)
    for _ in range(20000):
        yield struct.unpack("<d", rng.randbytes(8))[0]
        yield rng.uniform(-1e6, 1e6)


def test_duration_seconds_is_the_interpreters_round(engine):
    for value in edge_floats():
        got = engine.PythonSkillResult(True, "s", duration=value).to_dict()["duration_seconds"]
        want = round(value, 2)
        assert struct.pack("<d", got) == struct.pack("<d", want) or (math.isnan(got) and math.isnan(want)), value


@pytest.mark.parametrize("value", [3, True, decimal.Decimal("1.005"), fractions.Fraction(1, 3)])
def test_other_numbers_are_rounded_by_their_own_round(engine, value):
    got = engine.PythonSkillResult(True, "s", duration=value).to_dict()["duration_seconds"]
    assert type(got) is type(round(value, 2)) and got == round(value, 2)


def test_to_dict_reads_fields_as_attributes(engine):
    class Later(engine.PythonSkillResult):
        @property
        def error(self):
            return "computed"

        @error.setter
        def error(self, value):
            pass

    assert Later(True, "s").to_dict()["error"] == "computed"
    with pytest.raises(TypeError) as err:
        engine.PythonSkillResult.to_dict(object())
    assert str(err.value) == ("Argument 'self' has incorrect type "
                              "(expected PythonSkillResult, got object)")
