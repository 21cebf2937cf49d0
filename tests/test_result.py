"""PythonSkillResult: a data class of the interpreter's own kind, and its plain-dict form."""

import dataclasses
import decimal
import fractions
import math

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


@pytest.mark.parametrize(
    "value", [1.23456, 2.675, -0.005, 1e300, math.inf, 3, True, decimal.Decimal("1.005"), fractions.Fraction(1, 3)])
def test_duration_seconds_is_rounded_by_the_interpreters_round(engine, value):
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
