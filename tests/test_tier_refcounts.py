"""Reference counts of the tier chooser balance: each scenario runs many times under the
debug interpreter and the total reference count and the allocated blocks stay flat.

Run directly (``python3.14d tests/test_tier_refcounts.py``) it prints one JSON object,
scenario name -> [refs per run, blocks per run].
"""

import gc
import json
import logging
import os
import pathlib
import re
import shutil
import subprocess
import sys

HERE = pathlib.Path(__file__).parent


def scenarios():
    from zorvik.core import tier_chooser as tc

    logger = logging.getLogger("zorvik.tier_chooser")
    logger.addHandler(logging.NullHandler())
    logger.propagate = False
    logger.setLevel(logging.INFO)

    class Keys:
        def has_key(self, provider):
            return provider == "anthropic"

    class Custom(tc.TierChooser):
        def _is_available(self, spec):
            return True

    router = tc.TierChooser(tc.ModelRoutingConfig(default_scheduler_model="claude-haiku"), Keys())
    custom = Custom(None, Keys())
    spec = tc.ModelSpec("m", "local", "M", tc.Complexity.SIMPLE)
    odd_spec = tc.ModelSpec(7, "local", "M", tc.Complexity.SIMPLE)
    long_text = " ".join(["garden"] * 40)
    unicode_text = "\u0130STANBUL GARDENS \u3000 research the \u0663\u0663\u0663 word plots"
    patterns = [r"\bherbs\b", re.compile("weeds"), r"(unclosed"]

    def raises(fn, *args):
        try:
            fn(*args)
        except Exception:
            pass

    def classify():
        for text in ("short", long_text, unicode_text, "ok then, the garden is fine", "x" * 200 + " stock"):
            tc.classify_complexity(text, 3)
        raises(tc.classify_complexity, None)
        raises(tc.classify_complexity, "text", True)

    def replaced_patterns():
        saved = tc._COMPLEX_PATTERNS
        tc._COMPLEX_PATTERNS = list(patterns)
        try:
            raises(tc.classify_complexity, long_text)
            tc._COMPLEX_PATTERNS = iter([r"garden"])
            tc.classify_complexity(long_text)
        finally:
            tc._COMPLEX_PATTERNS = saved

    def select():
        router.select_for_worker("open the file")
        router.select_for_worker(long_text, "claude-opus")
        router.select_for_worker(long_text, "gpt-5.2")
        router.select_for_scheduler("research the garden history", "nope")
        custom.select_for_worker(unicode_text)
        raises(router.select_for_worker, 5)

    def listing():
        router.get_available_models()
        custom.get_available_models()
        router.record_usage("claude-haiku", 12)
        router.record_usage("new-" + str(len(router._usage_stats) % 3))
        router.get_usage_stats()

    def model_strings():
        for s in tc.AVAILABLE_MODELS.values():
            router.get_litellm_model_string(s)
        router.get_litellm_model_string(spec)
        raises(router.get_litellm_model_string, odd_spec)

    def catalogue_changes():
        opus = tc.AVAILABLE_MODELS["claude-opus"]
        opus.display_name = "Opus"
        router.get_available_models()
        opus.display_name = "Claude Opus"
        router._is_available(opus)

    def config():
        cfg = tc.ModelRoutingConfig.from_dict({"cost_conscious": True, "extra": 1})
        cfg.to_dict()
        tc.ModelRoutingConfig.from_dict(cfg.to_dict())
        raises(tc.ModelRoutingConfig.from_dict, None)
        router.update_config(router.config)

    return {f.__name__: f for f in (classify, replaced_patterns, select, listing, model_strings, catalogue_changes,
                                    config)}


def measure(runs=300):
    results = {}
    for name, fn in scenarios().items():
        for _ in range(50):
            fn()
        gc.collect()
        refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
        for _ in range(runs):
            fn()
        gc.collect()
        results[name] = [(sys.gettotalrefcount() - refs) / runs, (sys.getallocatedblocks() - blocks) / runs]
    return results


DEBUG = shutil.which("python3.14d")


def test_no_scenario_leaks():
    import pytest

    if not DEBUG or not list((HERE.parent / "src" / "zorvik" / "core").glob("tier_chooser.cpython-314d-*.so")):
        pytest.skip("debug interpreter or the debug build missing")
    env = dict(os.environ, PYTHONPATH=str(HERE.parent / "src"))
    out = subprocess.run([DEBUG, __file__], capture_output=True, text=True, timeout=600, env=env)
    assert out.returncode == 0, out.stderr
    results = json.loads(out.stdout)
    leaks = {name: value for name, value in results.items() if value[0] >= 0.5 or value[1] >= 0.5}
    assert not leaks, leaks


if __name__ == "__main__":
    print(json.dumps(measure()))
