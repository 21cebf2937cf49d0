"""The tier chooser module: its body, the two initialisation guards, the Complexity
enumeration, the ModelSpec record, the catalogue and ModelRoutingConfig."""

import dataclasses
import enum
import importlib
import importlib.util
import os
import pickle
import subprocess
import sys
import textwrap
from collections import OrderedDict

import pytest

from zorvik.core import tier_chooser as tc

SRC = os.path.join(os.path.dirname(__file__), "..", "src")


def run_fresh(code):
    """stdout of `code` run by a new interpreter with the package sources on its path."""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                         env=dict(os.environ, PYTHONPATH=SRC))
    assert out.returncode == 0, out.stderr
    return out.stdout.strip()


class TestModule:
    def test_body_binds_its_names_in_order(self):
        # In a fresh interpreter: tests here delete and restore module names.
        expected = ["logging", "re", "dataclass", "field", "Enum", "Any", "SecretsStore", "logger", "Complexity",
                    "ModelSpec", "AVAILABLE_MODELS", "_COMPLEX_PATTERNS", "_SIMPLE_PATTERNS", "classify_complexity",
                    "ModelRoutingConfig", "TierChooser"]
        bound = [name for name in run_fresh("import zorvik.core.tier_chooser as m; print(' '.join(vars(m)))").split()
                 if name in expected]
        assert bound == expected
        assert tc.logger.name == "zorvik.tier_chooser"
        assert tc.SecretsStore is importlib.import_module("zorvik.config").SecretsStore

    def test_reload_does_not_run_the_body_again(self):
        catalogue = tc.AVAILABLE_MODELS
        assert importlib.reload(tc) is tc
        assert tc.AVAILABLE_MODELS is catalogue

    def test_second_module_object_is_refused(self):
        fresh = importlib.util.module_from_spec(tc.__spec__)
        with pytest.raises(RuntimeError) as info:
            tc.__spec__.loader.exec_module(fresh)
        assert str(info.value) == ("Module 'tier_chooser' has already been imported. "
                                   "Re-initialisation is not supported.")

    def test_second_interpreter_is_refused(self):
        interpreters = pytest.importorskip("concurrent.interpreters")
        interp = interpreters.create()
        try:
            with pytest.raises(interpreters.ExecutionFailed) as info:
                interp.exec(f"import sys; sys.path[:] = {sys.path!r}; import zorvik.core.tier_chooser")
        finally:
            interp.close()
        assert info.value.excinfo.type.__name__ == "ImportError"
        assert info.value.excinfo.msg == ("Interpreter change detected - this module can only be loaded into one "
                                          "interpreter per process.")

    def test_import_fails_without_the_config_module(self):
        code = textwrap.dedent("""
            import sys
            sys.modules["zorvik.config"] = None
            try:
                import zorvik.core.tier_chooser
            except ImportError as exc:
                print("refused:", exc.name)
        """)
        assert run_fresh(code) == "refused: zorvik.config"


class TestComplexity:
    def test_members(self):
        C = tc.Complexity
        assert C.__mro__[1:3] == (str, enum.Enum)
        assert [(m.name, m.value) for m in C] == [("SIMPLE", "simple"), ("MODERATE", "moderate"),
                                                  ("COMPLEX", "complex")]
        assert C.SIMPLE == "simple" and C("complex") is C.COMPLEX
        assert repr(C.MODERATE) == "<Complexity.MODERATE: 'moderate'>"
        assert C.__module__ == "zorvik.core.tier_chooser"

    @pytest.mark.parametrize("text", ["Simple", "SIMPLE", "", "hard"])
    def test_unknown_value(self, text):
        with pytest.raises(ValueError):
            tc.Complexity(text)


SPEC_FIELDS = ["id", "provider", "display_name", "complexity_tier", "description", "max_tokens", "supports_tools",
               "supports_vision", "cost_per_1k_input", "cost_per_1k_output"]


class TestModelSpec:
    def test_fields_and_defaults(self):
        spec = tc.ModelSpec("m", "p", "M", tc.Complexity.SIMPLE)
        assert [f.name for f in dataclasses.fields(spec)] == SPEC_FIELDS
        assert (spec.description, spec.max_tokens, spec.supports_tools, spec.supports_vision) == ("", 4096, True, True)
        assert (spec.cost_per_1k_input, spec.cost_per_1k_output) == (0.0, 0.0)
        assert tc.ModelSpec.__doc__ == "Specification for a single model."
        assert tc.ModelSpec.__annotations__ == dict(zip(SPEC_FIELDS, ["str", "str", "str", "Complexity", "str", "int",
                                                                      "bool", "bool", "float", "float"]))

    def test_record_behaviour(self):
        a = tc.ModelSpec("m", "p", "M", tc.Complexity.SIMPLE, max_tokens=10)
        b = tc.ModelSpec(id="m", provider="p", display_name="M", complexity_tier=tc.Complexity.SIMPLE, max_tokens=10)
        assert a == b and a != tc.ModelSpec("m", "p", "M", tc.Complexity.COMPLEX)
        assert repr(a) == ("ModelSpec(id='m', provider='p', display_name='M', complexity_tier=<Complexity.SIMPLE: "
                           "'simple'>, description='', max_tokens=10, supports_tools=True, supports_vision=True, "
                           "cost_per_1k_input=0.0, cost_per_1k_output=0.0)")
        with pytest.raises(TypeError, match="unhashable type: 'ModelSpec'"):
            hash(a)
        a.max_tokens = 20
        assert a.max_tokens == 20

    @pytest.mark.parametrize("value", [tc.Complexity.COMPLEX, tc.ModelSpec("m", "p", "M", tc.Complexity.SIMPLE),
                                       tc.ModelRoutingConfig(["gpt-5.2"], True, "claude-haiku")])
    def test_pickling(self, value):
        assert pickle.loads(pickle.dumps(value)) == value


class TestCatalogue:
    def test_entries(self):
        models = tc.AVAILABLE_MODELS
        assert list(models) == ["claude-opus", "claude-sonnet", "claude-haiku", "gpt-5.2"]
        rows = [(s.id, s.provider, s.display_name, s.complexity_tier, s.max_tokens, s.cost_per_1k_input,
                 s.cost_per_1k_output, s.supports_tools, s.supports_vision) for s in models.values()]
        C = tc.Complexity
        assert rows == [
            ("claude-opus-4-6", "anthropic", "Claude Opus", C.COMPLEX, 4096, 0.015, 0.075, True, True),
            ("claude-sonnet-4-6", "anthropic", "Claude Sonnet", C.MODERATE, 4096, 0.003, 0.015, True, True),
            ("claude-haiku-4-5", "anthropic", "Claude Haiku", C.SIMPLE, 4096, 0.00025, 0.00125, True, True),
            ("gpt-5.2", "openai", "GPT-5.2", C.COMPLEX, 4096, 0.005, 0.015, True, True),
        ]
        assert models["claude-haiku"].description == (
            "Fastest and cheapest. Great for summaries, lookups, classification, simple tasks.")
        assert models["gpt-5.2"].description == "OpenAI's most capable model. Alternative for complex tasks."


class TestRoutingConfig:
    def test_defaults_are_fresh(self):
        a, b = tc.ModelRoutingConfig(), tc.ModelRoutingConfig()
        assert a.enabled_models == ["claude-opus", "claude-sonnet", "claude-haiku", "gpt-5.2"]
        assert a.enabled_models is not b.enabled_models
        assert (a.cost_conscious, a.default_worker_model, a.default_scheduler_model) == (False, "auto", "auto")
        assert tc.ModelRoutingConfig.__annotations__ == {"enabled_models": "list[str]", "cost_conscious": "bool",
                                                         "default_worker_model": "str",
                                                         "default_scheduler_model": "str"}
        with pytest.raises(TypeError, match="unhashable"):
            hash(a)

    def test_round_trip_keeps_the_objects(self):
        config = tc.ModelRoutingConfig(["claude-haiku"], True, "claude-haiku", "gpt-5.2")
        data = config.to_dict()
        assert list(data) == ["enabled_models", "cost_conscious", "default_worker_model", "default_scheduler_model"]
        assert data["enabled_models"] is config.enabled_models
        again = tc.ModelRoutingConfig.from_dict(data)
        assert again == config and again.enabled_models is config.enabled_models
        assert tc.ModelRoutingConfig().to_dict() is not tc.ModelRoutingConfig().to_dict()

    def test_to_dict_reads_through_the_attributes(self, monkeypatch):
        config = tc.ModelRoutingConfig()
        monkeypatch.setattr(tc.ModelRoutingConfig, "cost_conscious", property(lambda self: "class"))
        result = config.to_dict()
        assert result["cost_conscious"] == "class"
        result["default_worker_model"] = "changed"
        assert config.default_worker_model == "auto"

    @pytest.mark.parametrize(
        ("data", "expected"),
        [
            ({}, tc.ModelRoutingConfig()),
            ({"coordinator_model": "x", "cost_conscious": True}, tc.ModelRoutingConfig(cost_conscious=True)),
            ({"default_scheduler_model": "gpt-5.2", "enabled_models": []},
             tc.ModelRoutingConfig([], False, "auto", "gpt-5.2")),
            ({"enabled_models": None, "default_worker_model": 5}, tc.ModelRoutingConfig(None, False, 5)),
        ],
    )
    def test_from_dict(self, data, expected):
        assert tc.ModelRoutingConfig.from_dict(data) == expected

    def test_from_dict_honours_subclasses_and_replaced_construction(self, monkeypatch):
        @dataclasses.dataclass
        class Extended(tc.ModelRoutingConfig):
            theme: str = "dark"

            def __post_init__(self):
                self.seen = True

        made = Extended.from_dict({"theme": "light", "cost_conscious": True, "other": 1})
        assert type(made) is Extended and made.theme == "light" and made.cost_conscious and made.seen

        calls = []
        original = tc.ModelRoutingConfig.__init__

        def init(self, **kwargs):
            calls.append(kwargs)
            original(self, **kwargs)

        monkeypatch.setattr(tc.ModelRoutingConfig, "__init__", init)
        tc.ModelRoutingConfig.from_dict({"cost_conscious": True})
        assert calls == [{"cost_conscious": True}]

    def test_data_changing_during_the_walk(self):
        class Growing:
            armed = False

            def __hash__(self):
                if Growing.armed:
                    data[len(data)] = 0
                return 1

        data = {"cost_conscious": True, Growing(): 2}
        Growing.armed = True
        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            tc.ModelRoutingConfig.from_dict(data)

    @pytest.mark.parametrize(
        ("data", "message", "note"),
        [
            (None, "Argument 'data' has incorrect type (expected dict, got NoneType)", None),
            ([("cost_conscious", True)], "Argument 'data' has incorrect type (expected dict, got list)", None),
            (OrderedDict(), "Argument 'data' has incorrect type (expected dict, got collections.OrderedDict)",
             "Subclasses of 'dict' are refused here: pass an exact 'dict'."),
        ],
    )
    def test_from_dict_refuses(self, data, message, note):
        with pytest.raises(TypeError) as info:
            tc.ModelRoutingConfig.from_dict(data)
        assert str(info.value) == message
        assert getattr(info.value, "__notes__", [None]) == [note]

    def test_arity_counts_the_class_and_instance(self):
        with pytest.raises(TypeError) as info:
            tc.ModelRoutingConfig.from_dict()
        assert str(info.value) == "from_dict() takes exactly 2 positional arguments (1 given)"
        with pytest.raises(TypeError) as info:
            tc.ModelRoutingConfig().to_dict(1)
        assert str(info.value) == "to_dict() takes exactly 1 positional argument (2 given)"
