"""The worker model router: construction, every selection path with its log lines, the
scheduler path, fallbacks, replaced methods and names, the listing, usage counts and
model strings, including changes a key store makes while the router is in use."""

import enum
import gc
import logging
import weakref

import pytest

from zorvik.core import tier_chooser as tc

C = tc.Complexity
OPUS, SONNET, HAIKU, GPT = (tc.AVAILABLE_MODELS[k] for k in ("claude-opus", "claude-sonnet", "claude-haiku", "gpt-5.2"))
LONG_SIMPLE = "please list the files in the garden shed"
LONG_COMPLEX = "research the garden history of the town"
LONG_MODERATE = " ".join(["garden"] * 30)
STRANGER = tc.ModelSpec("other", "openai", "Other", C.SIMPLE)


class Keys:
    """A key store that answers from a set and remembers what it was asked."""

    def __init__(self, *providers, answer=None):
        self.providers = set(providers)
        self.asked = []
        self.answer = answer

    def has_key(self, provider):
        self.asked.append(provider)
        if self.answer is not None:
            return self.answer
        return provider in self.providers


def router(*providers, **config):
    return tc.TierChooser(tc.ModelRoutingConfig(**config), Keys(*providers))


BOTH = ("anthropic", "openai")


@pytest.fixture
def log(caplog):
    caplog.set_level(logging.INFO, logger="zorvik.tier_chooser")

    def lines():
        return [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "zorvik.tier_chooser"]

    return lines


class TestConstruction:
    def test_defaults_come_from_the_module_namespace(self, monkeypatch):
        monkeypatch.setattr(tc, "SecretsStore", lambda: Keys("openai"))
        r = tc.TierChooser()
        assert list(vars(r)) == ["_config", "_secrets", "_usage_stats"]
        assert r.config == tc.ModelRoutingConfig() and r._usage_stats == {}
        assert r._secrets.providers == {"openai"}

    @pytest.mark.parametrize("falsy", [None, 0, "", []])
    def test_false_arguments_are_replaced(self, falsy):
        r = tc.TierChooser(falsy, Keys())
        assert r.config == tc.ModelRoutingConfig() and r.config is not falsy

    def test_config_property(self):
        config = tc.ModelRoutingConfig()
        r = tc.TierChooser(config, Keys())
        assert r.config is config
        assert type(tc.TierChooser.__dict__["config"]) is property
        assert tc.TierChooser.config.__doc__ == "The current routing configuration."
        with pytest.raises(AttributeError):
            r.config = tc.ModelRoutingConfig()
        other = tc.ModelRoutingConfig(cost_conscious=True)
        r.record_usage("x")
        assert r.update_config(other) is None
        assert r.config is other and r.get_usage_stats() == {"x": {"calls": 1, "tokens": 0}}

    @pytest.mark.parametrize(
        ("call", "message", "note"),
        [
            (lambda r: r.get_model(), "get_model() takes exactly 2 positional arguments (1 given)", None),
            (lambda r: r.get_model(None), "Argument 'model_key' has incorrect type (expected str, got NoneType)",
             None),
            (lambda r: r.select_for_worker(7), "Argument 'task_description' has incorrect type (expected str, got "
             "int)", None),
            (lambda r: r.select_for_worker("t", 5), "Argument 'model_key' has incorrect type (expected str, got int)",
             None),
            (lambda r: r.select_for_scheduler(b"job"), "Argument 'job_description' has incorrect type (expected "
             "str, got bytes)", None),
            (lambda r: r.record_usage("m", True), "Argument 'tokens' has incorrect type (expected int, got bool)",
             "Subclasses of 'int' are refused here: pass an exact 'int'."),
            (lambda r: r.record_usage("m", 1.0), "Argument 'tokens' has incorrect type (expected int, got float)",
             None),
            (lambda r: r.record_usage(None), "Argument 'model_key' has incorrect type (expected str, got NoneType)",
             None),
            (lambda r: r.update_config(), "update_config() takes exactly 2 positional arguments (1 given)", None),
            (lambda r: tc.TierChooser(None, None, None), "__init__() takes at most 3 positional arguments (4 given)",
             None),
        ],
    )
    def test_typed_parameters(self, call, message, note):
        with pytest.raises(TypeError) as info:
            call(router(*BOTH))
        assert str(info.value) == message
        assert getattr(info.value, "__notes__", [None]) == [note]


class TestWorkerSelection:
    @pytest.mark.parametrize("key", [None, "", "auto"])
    def test_auto(self, log, key):
        spec = router(*BOTH).select_for_worker("open the file", key)
        assert spec is HAIKU
        assert log() == [("INFO", "Worker model (auto [simple]): Claude Haiku for 'open the file'")]

    def test_explicit(self, log):
        task = "x" * 60
        assert router(*BOTH).select_for_worker(task, "claude-opus") is OPUS
        assert log() == [("INFO", "Worker model (explicit): Claude Opus for '" + "x" * 50 + "'")]

    @pytest.mark.parametrize(
        ("default", "expected", "last_line"),
        [
            ("claude-sonnet", SONNET, "Worker model (default): Claude Sonnet for 'open the file'"),
            ("claude-opus", HAIKU, "Worker model (auto [simple]): Claude Haiku for 'open the file'"),
            ("nope", HAIKU, "Worker model (auto [simple]): Claude Haiku for 'open the file'"),
        ],
    )
    def test_unusable_explicit_key_warns_then_default_or_auto(self, log, default, expected, last_line):
        r = router(*BOTH, enabled_models=["claude-sonnet", "claude-haiku"], default_worker_model=default)
        assert r.select_for_worker("open the file", "claude-opus") is expected
        assert log() == [("WARNING", "Requested model 'claude-opus' not available, falling back to auto"),
                         ("INFO", last_line)]

    @pytest.mark.parametrize(
        ("text", "providers", "config", "expected", "tier"),
        [
            (LONG_COMPLEX, BOTH, {}, OPUS, "complex"),
            (LONG_COMPLEX, BOTH, {"cost_conscious": True}, SONNET, "complex"),
            (LONG_MODERATE, BOTH, {}, SONNET, "moderate"),
            (LONG_MODERATE, BOTH, {"cost_conscious": True}, HAIKU, "moderate"),
            (LONG_SIMPLE, BOTH, {"cost_conscious": True}, HAIKU, "simple"),
            (LONG_COMPLEX, ("openai",), {}, GPT, "complex"),
            (LONG_MODERATE, ("openai",), {}, GPT, "moderate"),
            (LONG_SIMPLE, ("openai",), {}, GPT, "simple"),
            (LONG_COMPLEX, (), {}, SONNET, "complex"),
            (LONG_SIMPLE, BOTH, {"enabled_models": []}, SONNET, "simple"),
            (LONG_SIMPLE, ("openai",), {"enabled_models": ["gpt-5.2", "claude-haiku"]}, GPT, "simple"),
            (LONG_COMPLEX, BOTH, {"enabled_models": ["unknown", "claude-haiku"]}, HAIKU, "complex"),
        ],
    )
    def test_automatic_choice(self, log, text, providers, config, expected, tier):
        assert router(*providers, **config).select_for_worker(text) is expected
        assert log() == [("INFO", f"Worker model (auto [{tier}]): {expected.display_name} for '{text[:50]}'")]

    def test_scheduler_is_silent(self, log):
        r = router(*BOTH, enabled_models=["claude-haiku"], default_scheduler_model="claude-haiku",
                   default_worker_model="claude-opus")
        assert r.select_for_scheduler("tidy the garden every day", "claude-opus") is HAIKU
        assert router(*BOTH).select_for_scheduler(LONG_COMPLEX) is OPUS
        assert router().select_for_scheduler(LONG_SIMPLE, "gpt-5.2") is SONNET
        assert log() == []

    def test_non_text_default_reaches_get_model(self):
        with pytest.raises(TypeError, match="expected str, got int"):
            router(*BOTH, default_worker_model=3).select_for_worker("open the file")


class TestReplacements:
    def test_subclass_methods(self, log):
        seen = []

        class Custom(tc.TierChooser):
            def _is_available(self, spec):
                seen.append(spec.id)
                return spec.provider == "openai"

            def _get_fallback(self):
                return "fallback"

        r = Custom(tc.ModelRoutingConfig(), Keys())
        assert r.get_model("claude-opus") is None and r.get_model("gpt-5.2") is GPT
        assert r.select_for_worker(LONG_COMPLEX) is GPT
        assert Custom(tc.ModelRoutingConfig(enabled_models=[]), Keys()).select_for_scheduler(LONG_COMPLEX) == "fallback"
        assert seen == ["claude-opus-4-6", "gpt-5.2", "claude-opus-4-6", "claude-sonnet-4-6", "gpt-5.2"]
        assert [e["available"] for e in r.get_available_models()] == [False, False, False, True]

    def test_instance_attributes(self, log):
        r = router(*BOTH)
        r.get_model = lambda key: SONNET
        r._select_for_complexity = lambda complexity: GPT
        assert r.select_for_worker("open the file", "claude-opus") is SONNET
        assert r.select_for_worker("open the file") is GPT
        del r.get_model, r._select_for_complexity
        r._is_available = lambda spec: "maybe"
        assert r.get_available_models()[0]["available"] == "maybe"
        assert r.select_for_worker("open the file") is HAIKU

    def test_module_names(self, monkeypatch, log):
        r = router(*BOTH)
        monkeypatch.setattr(tc, "classify_complexity", lambda text: C.COMPLEX)
        assert r.select_for_worker("open the file") is OPUS
        custom = {"mine": tc.ModelSpec("my-model", "anthropic", "Mine", C.SIMPLE), "claude-sonnet": SONNET}
        monkeypatch.setattr(tc, "AVAILABLE_MODELS", custom)
        r.update_config(tc.ModelRoutingConfig(enabled_models=["mine"]))
        assert r.get_model("mine") is custom["mine"] and r.get_model("claude-opus") is None
        assert [e["key"] for e in r.get_available_models()] == ["mine", "claude-sonnet"]
        messages = []
        monkeypatch.setattr(tc, "logger", type("L", (), {"info": messages.append, "warning": messages.append})())
        r.select_for_worker("open the file", "nope")
        assert messages == ["Requested model 'nope' not available, falling back to auto",
                            "Worker model (auto [complex]): Mine for 'open the file'"]

    @pytest.mark.parametrize("tier", ["complex", "SIMPLE", 3, None])
    def test_tiers_that_are_not_members(self, tier):
        expected = OPUS if tier == "complex" else SONNET
        assert router(*BOTH)._select_for_complexity(tier) is expected

    def test_unhashable_tier(self):
        with pytest.raises(TypeError, match="unhashable type: 'list'"):
            router(*BOTH)._select_for_complexity([])

    def test_preferences_are_keyed_by_the_bound_enumeration(self, monkeypatch, log):
        other = enum.Enum("Other", [("SIMPLE", "simple"), ("MODERATE", "moderate"), ("COMPLEX", "complex")])
        monkeypatch.setattr(tc, "Complexity", other)
        r = router(*BOTH)
        assert r._select_for_complexity(other.COMPLEX) is OPUS
        assert r._select_for_complexity(C.COMPLEX) is SONNET
        assert tc.classify_complexity(LONG_COMPLEX) is other.COMPLEX
        assert r.select_for_worker(LONG_COMPLEX) is OPUS
        assert log() == [("INFO", f"Worker model (auto [complex]): Claude Opus for '{LONG_COMPLEX}'")]


class TestAvailability:
    def test_matched_by_id(self):
        keys = Keys(*BOTH)
        r = tc.TierChooser(tc.ModelRoutingConfig(enabled_models=["claude-opus"]), keys)
        twin = tc.ModelSpec("claude-haiku-4-5", "anthropic", "Twin", C.SIMPLE)
        assert r._is_available(twin) is False and keys.asked == []
        assert r._is_available(STRANGER) is True and keys.asked == ["openai"]

    def test_key_store_answer_is_passed_through(self):
        r = tc.TierChooser(None, Keys(answer="yes"))
        assert r._is_available(OPUS) == "yes"
        assert r.get_model("unknown") is None and r._secrets.asked == ["anthropic"]
        assert r.get_model("gpt-5.2") is GPT

    def test_no_key(self):
        assert router("anthropic").get_model("gpt-5.2") is None

    def test_first_entry_with_the_id_decides(self, monkeypatch):
        first = tc.ModelSpec("shared", "openai", "First", C.SIMPLE)
        second = tc.ModelSpec("shared", "openai", "Second", C.SIMPLE)
        monkeypatch.setattr(tc, "AVAILABLE_MODELS", {"a": first, "b": second})
        keys = Keys("openai")
        r = tc.TierChooser(tc.ModelRoutingConfig(enabled_models=["b"]), keys)
        assert [e["available"] for e in r.get_available_models()] == [False, False] and keys.asked == []
        r.update_config(tc.ModelRoutingConfig(enabled_models=["a"]))
        assert [e["available"] for e in r.get_available_models()] == [True, True]


class TestListingAndUsage:
    def test_listing(self):
        r = router("anthropic", enabled_models=["claude-haiku", "gpt-5.2"])
        r.record_usage("claude-haiku", 120)
        r.record_usage("claude-haiku")
        listing = r.get_available_models()
        assert [list(e) for e in listing] == [["key", "id", "provider", "display_name", "description",
                                               "complexity_tier", "enabled", "available", "cost_per_1k_input",
                                               "cost_per_1k_output", "calls", "tokens"]] * 4
        assert listing[2] == {"key": "claude-haiku", "id": "claude-haiku-4-5", "provider": "anthropic",
                              "display_name": "Claude Haiku", "description": HAIKU.description,
                              "complexity_tier": "simple", "enabled": True, "available": True,
                              "cost_per_1k_input": 0.00025, "cost_per_1k_output": 0.00125, "calls": 2, "tokens": 120}
        assert [(e["enabled"], e["available"], e["calls"]) for e in listing] == [
            (False, False, 0), (False, False, 0), (True, True, 2), (True, False, 0)]
        assert listing[0] is not r.get_available_models()[0]

    def test_usage(self):
        r = router()
        r.record_usage("claude-haiku", 120)
        r.record_usage("claude-haiku")
        r.record_usage("anything", -5)
        stats = r.get_usage_stats()
        assert stats == {"claude-haiku": {"calls": 2, "tokens": 120}, "anything": {"calls": 1, "tokens": -5}}
        assert stats is not r._usage_stats and stats["anything"] is r._usage_stats["anything"]

    def test_usage_counters_of_other_types(self):
        r = router()
        r._usage_stats["odd"] = {"calls": 1.5, "tokens": 10**30}
        r.record_usage("odd", 1)
        assert r.get_usage_stats()["odd"] == {"calls": 2.5, "tokens": 10**30 + 1}
        with pytest.raises(TypeError):
            r._usage_stats["bad"] = {"calls": None, "tokens": 0}
            r.record_usage("bad")

    @pytest.mark.parametrize(
        ("spec", "expected"),
        [
            (OPUS, "anthropic/claude-opus-4-6"),
            (GPT, "openai/gpt-5.2"),
            (tc.ModelSpec("m", "local", "M", C.SIMPLE), "m"),
            (tc.ModelSpec(None, "local", "M", C.SIMPLE), None),
            (tc.ModelSpec(7, "anthropic", "M", C.SIMPLE), "anthropic/7"),
        ],
    )
    def test_model_strings(self, spec, expected):
        assert router().get_litellm_model_string(spec) == expected

    def test_model_string_of_another_type_is_refused(self):
        with pytest.raises(TypeError) as info:
            router().get_litellm_model_string(tc.ModelSpec(7, "local", "M", C.SIMPLE))
        assert str(info.value) == "Expected str, got int"


def test_nothing_outlives_the_router():
    keys, config = Keys(*BOTH), tc.ModelRoutingConfig()
    r = tc.TierChooser(config, keys)
    r.select_for_worker("open the file", "claude-opus")
    r.get_available_models()
    config.to_dict()
    refs = [weakref.ref(obj) for obj in (r, keys, config)]
    del r, keys, config
    gc.collect()
    assert [ref() for ref in refs] == [None, None, None]


class TestChangesMadeDuringACall:
    def test_listing_reads_each_spec_after_its_availability(self, monkeypatch):
        spec = tc.ModelSpec("claude-opus-4-6", "anthropic", "Claude Opus", C.COMPLEX, "d", 4096, True, True, 1.0, 2.0)
        monkeypatch.setattr(tc, "AVAILABLE_MODELS", dict(tc.AVAILABLE_MODELS, **{"claude-opus": spec}))

        class Meddling(Keys):
            def has_key(self, provider):
                spec.cost_per_1k_output = 7.0
                tc.AVAILABLE_MODELS["claude-sonnet"].display_name = "Changed"
                return True

        r = tc.TierChooser(None, Meddling())
        try:
            listing = r.get_available_models()
        finally:
            tc.AVAILABLE_MODELS["claude-sonnet"].display_name = "Claude Sonnet"
        assert listing[0]["cost_per_1k_output"] == 7.0
        assert listing[1]["display_name"] == "Changed"

    @pytest.mark.parametrize(
        ("change", "message"),
        [
            (lambda models: models.update(extra=SONNET), "dictionary changed size during iteration"),
            (lambda models: models.pop("claude-haiku"), "dictionary changed size during iteration"),
            (lambda models: (models.pop("claude-opus"), models.update(extra=SONNET)),
             "dictionary keys changed during iteration"),
        ],
        ids=["added", "removed", "replaced"],
    )
    @pytest.mark.parametrize("call", [lambda r: r.get_available_models(), lambda r: r._is_available(STRANGER)],
                             ids=["listing", "availability"])
    def test_catalogue_changed_while_walked(self, monkeypatch, change, message, call):
        """The walk over the catalogue fails as a walk over its items() does in Python."""
        models = dict(tc.AVAILABLE_MODELS)
        monkeypatch.setattr(tc, "AVAILABLE_MODELS", models)
        pending = [change]

        class Changing(tc.ModelSpec):
            @property
            def id(self):
                while pending:
                    pending.pop()(models)
                return "changing"

            @id.setter
            def id(self, value):
                pass

        models["claude-sonnet"] = Changing("x", "anthropic", "Changing", C.MODERATE)
        with pytest.raises(RuntimeError) as info:
            call(router(*BOTH))
        assert str(info.value) == message
