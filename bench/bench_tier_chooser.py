"""Times the tier chooser against the same rules written as plain Python.

For each public operation the script prints nanoseconds per call for the
native module and for a straightforward Python rendering of the same rules
(the code a host would otherwise run), and the speed (Python time over
native time, above 1 is faster), all measured in this one process. The
goal is parity within noise: a speed of at least 0.8 on every operation;
the last column marks each operation that misses it. Each figure is the
minimum over many short timeit loops, which
alternate between the two sides: on a busy machine some loops still run
undisturbed, and a change of load hits both sides alike. Both routers ask
the same in-memory key store (the host's own store is not what is measured).

    tools/py314 python3 bench/bench_tier_chooser.py

ZORVIK_BENCH_QUICK=1 shortens the loops (for a smoke run, not for figures).
"""

import logging
import os
import re
import sys
import timeit
from dataclasses import dataclass, field
from enum import Enum
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "src"))

from zorvik.core import tier_chooser as native  # noqa: E402

QUICK = bool(os.environ.get("ZORVIK_BENCH_QUICK"))
REPEATS = 5 if QUICK else 100
MIN_LOOP_SECONDS = 0.002 if QUICK else 0.005
# Parity within noise: repeated runs on a shared two-core machine differ by
# a good part of that margin.
GOAL = 0.8


# ---------------------------------------------------------------- the baseline

class Complexity(str, Enum):
    SIMPLE = "simple"
    MODERATE = "moderate"
    COMPLEX = "complex"


@dataclass
class ModelSpec:
    id: str
    provider: str
    display_name: str
    complexity_tier: Complexity
    description: str = ""
    max_tokens: int = 4096
    supports_tools: bool = True
    supports_vision: bool = True
    cost_per_1k_input: float = 0.0
    cost_per_1k_output: float = 0.0


AVAILABLE_MODELS = {
    key: ModelSpec(id=model_spec.id, provider=model_spec.provider, display_name=model_spec.display_name,
                   complexity_tier=Complexity(model_spec.complexity_tier.value), description=model_spec.description,
                   max_tokens=model_spec.max_tokens, cost_per_1k_input=model_spec.cost_per_1k_input,
                   cost_per_1k_output=model_spec.cost_per_1k_output)
    for key, model_spec in native.AVAILABLE_MODELS.items()
}

_COMPLEX_PATTERNS = list(native._COMPLEX_PATTERNS)
_SIMPLE_PATTERNS = list(native._SIMPLE_PATTERNS)

baseline_logger = logging.getLogger("bench.tier_chooser_baseline")


def classify_complexity(prompt: str, tool_count: int = 0) -> Complexity:
    prompt_lower = prompt.lower().strip()
    if len(prompt_lower) < 20:
        return Complexity.SIMPLE
    for pattern in _COMPLEX_PATTERNS:
        if re.search(pattern, prompt_lower):
            return Complexity.COMPLEX
    for pattern in _SIMPLE_PATTERNS:
        if re.search(pattern, prompt_lower):
            return Complexity.SIMPLE
    word_count = len(prompt_lower.split())
    if word_count > 60 or tool_count > 4:
        return Complexity.COMPLEX
    if word_count > 25 or tool_count > 2:
        return Complexity.MODERATE
    if word_count < 15 and tool_count <= 1:
        return Complexity.SIMPLE
    return Complexity.MODERATE


@dataclass
class ModelRoutingConfig:
    enabled_models: list[str] = field(
        default_factory=lambda: ["claude-opus", "claude-sonnet", "claude-haiku", "gpt-5.2"])
    cost_conscious: bool = False
    default_worker_model: str = "auto"
    default_scheduler_model: str = "auto"

    def to_dict(self) -> dict[str, Any]:
        return {
            "enabled_models": self.enabled_models,
            "cost_conscious": self.cost_conscious,
            "default_worker_model": self.default_worker_model,
            "default_scheduler_model": self.default_scheduler_model,
        }

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> "ModelRoutingConfig":
        return cls(**{k: v for k, v in data.items() if k in cls.__dataclass_fields__})


class TierChooser:
    def __init__(self, config=None, secrets=None):
        self._config = config or ModelRoutingConfig()
        self._secrets = secrets
        self._usage_stats: dict[str, dict[str, int]] = {}

    def get_model(self, model_key: str):
        if model_key not in AVAILABLE_MODELS:
            return None
        model_spec = AVAILABLE_MODELS[model_key]
        return model_spec if self._is_available(model_spec) else None

    def select_for_scheduler(self, job_description: str, model_key: str | None = None) -> ModelSpec:
        if model_key and model_key != "auto":
            model_spec = self.get_model(model_key)
            if model_spec:
                return model_spec
        default_key = self._config.default_scheduler_model
        if default_key and default_key != "auto":
            model_spec = self.get_model(default_key)
            if model_spec:
                return model_spec
        return self._select_for_complexity(classify_complexity(job_description))

    def select_for_worker(self, task_description: str, model_key: str | None = None) -> ModelSpec:
        if model_key and model_key != "auto":
            model_spec = self.get_model(model_key)
            if model_spec:
                baseline_logger.info(f"Worker model (explicit): {model_spec.display_name} for '{task_description[:50]}'")
                return model_spec
            baseline_logger.warning(f"Requested model '{model_key}' not available, falling back to auto")
        default_key = self._config.default_worker_model
        if default_key and default_key != "auto":
            model_spec = self.get_model(default_key)
            if model_spec:
                baseline_logger.info(f"Worker model (default): {model_spec.display_name} for '{task_description[:50]}'")
                return model_spec
        complexity = classify_complexity(task_description)
        model_spec = self._select_for_complexity(complexity)
        baseline_logger.info(
            f"Worker model (auto [{complexity.value}]): {model_spec.display_name} for '{task_description[:50]}'")
        return model_spec

    def get_available_models(self) -> list[dict[str, Any]]:
        return [
            {
                "key": key,
                "id": model_spec.id,
                "provider": model_spec.provider,
                "display_name": model_spec.display_name,
                "description": model_spec.description,
                "complexity_tier": model_spec.complexity_tier.value,
                "enabled": key in self._config.enabled_models,
                "available": self._is_available(model_spec),
                "cost_per_1k_input": model_spec.cost_per_1k_input,
                "cost_per_1k_output": model_spec.cost_per_1k_output,
                "calls": self._usage_stats.get(key, {}).get("calls", 0),
                "tokens": self._usage_stats.get(key, {}).get("tokens", 0),
            }
            for key, model_spec in AVAILABLE_MODELS.items()
        ]

    def record_usage(self, model_key: str, tokens: int = 0) -> None:
        if model_key not in self._usage_stats:
            self._usage_stats[model_key] = {"calls": 0, "tokens": 0}
        self._usage_stats[model_key]["calls"] += 1
        self._usage_stats[model_key]["tokens"] += tokens

    def get_usage_stats(self) -> dict[str, dict[str, int]]:
        return dict(self._usage_stats)

    def get_litellm_model_string(self, model_spec: ModelSpec) -> str:
        if model_spec.provider == "anthropic":
            return f"anthropic/{model_spec.id}"
        if model_spec.provider == "openai":
            return f"openai/{model_spec.id}"
        return model_spec.id

    def _is_available(self, model_spec: ModelSpec) -> bool:
        key = None
        for k, m in AVAILABLE_MODELS.items():
            if m.id == model_spec.id:
                key = k
                break
        if key is not None and key not in self._config.enabled_models:
            return False
        return self._secrets.has_key(model_spec.provider)

    def _select_for_complexity(self, complexity: Complexity) -> ModelSpec:
        preference_map = {
            Complexity.COMPLEX: ["claude-opus", "claude-sonnet", "gpt-5.2"],
            Complexity.MODERATE: ["claude-sonnet", "claude-haiku", "gpt-5.2"],
            Complexity.SIMPLE: ["claude-haiku", "claude-sonnet", "gpt-5.2"],
        }
        if self._config.cost_conscious:
            preference_map = {
                Complexity.COMPLEX: ["claude-sonnet", "claude-haiku", "gpt-5.2"],
                Complexity.MODERATE: ["claude-haiku", "claude-sonnet", "gpt-5.2"],
                Complexity.SIMPLE: ["claude-haiku", "claude-sonnet", "gpt-5.2"],
            }
        for key in preference_map.get(complexity, ["claude-sonnet"]):
            if key in AVAILABLE_MODELS and key in self._config.enabled_models:
                model_spec = AVAILABLE_MODELS[key]
                if self._is_available(model_spec):
                    return model_spec
        return self._get_fallback()

    def _get_fallback(self) -> ModelSpec:
        for key in self._config.enabled_models:
            if key in AVAILABLE_MODELS and self._is_available(AVAILABLE_MODELS[key]):
                return AVAILABLE_MODELS[key]
        return AVAILABLE_MODELS["claude-sonnet"]


# ---------------------------------------------------------------- the workload

class KeyStore:
    """A key store that answers from memory, so neither side measures the environment."""

    def __init__(self, providers):
        self._keys = frozenset(providers)

    def has_key(self, provider):
        return provider in self._keys


SHORT = "open the file"
NO_MATCH_40 = (
    "the quarterly garden club meeting will gather near the old oak tree by the river where "
    "members usually share seeds stories and recipes while children play quietly nearby and "
    "volunteers arrange chairs tables flowers lamps blankets baskets before sunset arrives"
)
LAST_PATTERN = "draft a 500 word note about our garden club"
TASK = "Research AI trends and write a summary of the findings"


def per_call_ns(stmt, sides):
    """ns per call of `stmt` in each namespace of `sides`; the repeats alternate
    between the sides, so a change of machine load hits both alike."""
    timers, numbers = [], []
    for namespace in sides:
        timer = timeit.Timer(stmt, globals=namespace)
        number, elapsed = timer.autorange()
        timers.append(timer)
        numbers.append(max(1, int(number * MIN_LOOP_SECONDS / max(elapsed, 1e-9))))
    best = [float("inf")] * len(sides)
    for _ in range(REPEATS):
        for i, (timer, number) in enumerate(zip(timers, numbers)):
            best[i] = min(best[i], timer.timeit(number) / number * 1e9)
    return best


def main():
    keys = KeyStore(["anthropic", "openai"])
    fast = native.TierChooser(native.ModelRoutingConfig(), keys)
    slow = TierChooser(ModelRoutingConfig(), keys)
    fast_config, slow_config = native.ModelRoutingConfig(), ModelRoutingConfig()
    data = fast_config.to_dict()
    fast_spec, slow_spec = native.AVAILABLE_MODELS["claude-opus"], AVAILABLE_MODELS["claude-opus"]

    assert len(NO_MATCH_40.split()) == 40
    for text in (SHORT, NO_MATCH_40, LAST_PATTERN, TASK):
        assert native.classify_complexity(text).value == classify_complexity(text).value, text
    assert not any(re.search(p, LAST_PATTERN.lower()) for p in _COMPLEX_PATTERNS[:-1])

    texts = {"SHORT": SHORT, "NO_MATCH_40": NO_MATCH_40, "LAST_PATTERN": LAST_PATTERN, "TASK": TASK}
    sides = (
        dict(texts, classify=native.classify_complexity, router=fast, config=fast_config,
             config_type=type(fast_config), data=data, model_spec=fast_spec),
        dict(texts, classify=classify_complexity, router=slow, config=slow_config,
             config_type=ModelRoutingConfig, data=data, model_spec=slow_spec),
    )
    cases = [
        ("classify_complexity, 13 chars", "classify(SHORT)"),
        ("classify_complexity, 40 words, no match", "classify(NO_MATCH_40)"),
        ("classify_complexity, last complex pattern", "classify(LAST_PATTERN)"),
        ("classify_complexity, task text", "classify(TASK)"),
        ("select_for_worker, auto", "router.select_for_worker(TASK)"),
        ("select_for_worker, explicit", "router.select_for_worker(TASK, 'claude-haiku')"),
        ("select_for_scheduler, auto", "router.select_for_scheduler(TASK)"),
        ("get_model", "router.get_model('claude-haiku')"),
        ("get_available_models", "router.get_available_models()"),
        ("record_usage", "router.record_usage('claude-haiku', 120)"),
        ("get_usage_stats", "router.get_usage_stats()"),
        ("ModelRoutingConfig.from_dict", "config_type.from_dict(data)"),
        ("ModelRoutingConfig.to_dict", "config.to_dict()"),
        ("get_litellm_model_string", "router.get_litellm_model_string(model_spec)"),
    ]
    print(f"Python {sys.version.split()[0]}; ns per call, minimum of {REPEATS} repeats")
    print(f"speed = python time / native time; goal: speed >= {GOAL} on every operation")
    print(f"{'operation':44} {'native':>9} {'python':>9} {'speed':>6}")
    missed = 0
    for label, stmt in cases:
        fast_ns, slow_ns = per_call_ns(stmt, sides)
        speed = slow_ns / fast_ns
        mark = "" if speed >= GOAL else "  below goal"
        missed += bool(mark)
        print(f"{label:44} {fast_ns:9.1f} {slow_ns:9.1f} {speed:6.2f}{mark}")
    print(f"{len(cases) - missed} of {len(cases)} operations meet the goal")


if __name__ == "__main__":
    main()
