"""Model routing for workers and scheduled jobs.

The Coordinator always runs on the model the user chose in the main settings;
this module only chooses the models of the workers it starts and of scheduled jobs.
"""

import logging
from dataclasses import dataclass, field
from enum import Enum
from typing import Any, Self

from zorvik.config import SecretsStore

logger: logging.Logger
"""The logger "zorvik.tier_chooser": INFO per worker model choice, WARNING when an explicitly
requested worker model cannot be used. The scheduler path logs nothing."""

class Complexity(str, Enum):
    """The tier of work a task calls for; each member equals its lower-case text."""

    SIMPLE = "simple"
    MODERATE = "moderate"
    COMPLEX = "complex"

@dataclass
class ModelSpec:
    """Specification for a single model."""

    id: str
    """The provider's model identifier, as sent to the provider."""
    provider: str
    """"anthropic" or "openai" in the catalogue."""
    display_name: str
    complexity_tier: Complexity
    description: str = ""
    max_tokens: int = 4096
    supports_tools: bool = True
    supports_vision: bool = True
    cost_per_1k_input: float = 0.0
    """Price per 1,000 input tokens; shown, never used in a decision."""
    cost_per_1k_output: float = 0.0

AVAILABLE_MODELS: dict[str, ModelSpec]
"""The catalogue: "claude-opus", "claude-sonnet", "claude-haiku", "gpt-5.2", in that order."""
_COMPLEX_PATTERNS: list[str]
"""Regular expressions (texts) that make a task complex; read at each classification."""
_SIMPLE_PATTERNS: list[str]
"""Regular expressions (texts) that make a task simple, tried after the complex ones."""

def classify_complexity(prompt: str, tool_count: int = 0) -> Complexity:
    """Classify the complexity of a worker task based on its description.

    Used when the Coordinator passes "auto" as a worker's model_key. Under 20
    characters (lower-cased, stripped) is simple; then the complex patterns, then
    the simple ones; then word and tool counts decide. Raises TypeError unless
    ``prompt`` is exactly a str and ``tool_count`` exactly an int.
    """

@dataclass
class ModelRoutingConfig:
    """User-configurable model routing preferences.

    The Coordinator's own model is set separately in the application's main
    settings. This only carries the worker and scheduler defaults.
    """

    # The factory gives a fresh list of the four catalogue keys, in catalogue order.
    enabled_models: list[str] = field(default_factory=list[str])
    """Catalogue keys the user allows ("claude-sonnet" stays the last resort even when missing)."""
    cost_conscious: bool = False
    """Prefer cheaper models in the automatic choice."""
    default_worker_model: str = "auto"
    """A catalogue key for workers the Coordinator names no model for; "auto" or "" chooses by task."""
    default_scheduler_model: str = "auto"
    """The same for scheduled jobs."""
    def to_dict(self) -> dict[str, Any]:
        """Convert to a plain dict (the four fields, in order; the list is the record's own)."""
    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> Self:
        """Build a config from a plain dict; unknown keys are ignored. Raises TypeError unless
        ``data`` is exactly a dict."""

class TierChooser:
    """Helps the Coordinator select models for workers and scheduled jobs.

    The Coordinator (main agent) always uses the user's chosen model.
    This router is only used for worker model selection. A model is usable when
    it is in the catalogue, enabled, and its provider has an API key. Selections
    never fail: the last resort is "claude-sonnet".
    """

    _config: ModelRoutingConfig
    _secrets: SecretsStore
    _usage_stats: dict[str, dict[str, int]]
    def __init__(
        self, config: ModelRoutingConfig | None = None, secrets: SecretsStore | None = None
    ) -> None: ...
    @property
    def config(self) -> ModelRoutingConfig:
        """The current routing configuration."""
    def update_config(self, config: ModelRoutingConfig) -> None:
        """Replace the routing configuration."""
    def get_model(self, model_key: str) -> ModelSpec | None:
        """Get a specific model by key. Returns None if not available."""
    def select_for_worker(self, task_description: str, model_key: str | None = None) -> ModelSpec:
        """Select a model for a worker task.

        Args:
            task_description: What the worker will do
            model_key: The Coordinator's explicit choice. "auto" or None means
                choose from the task's complexity; any other value means use
                that specific model.

        Tries the explicit key (a WARNING when unusable), the user's default, then
        the automatic choice; logs the choice at INFO.
        """
    def select_for_scheduler(self, job_description: str, model_key: str | None = None) -> ModelSpec:
        """Select a model for a scheduled job (as select_for_worker, without logging)."""
    def get_available_models(self) -> list[dict[str, Any]]:
        """Return list of all models with their status and usage."""
    def record_usage(self, model_key: str, tokens: int = 0) -> None:
        """Record usage statistics for a model. Raises TypeError unless ``tokens`` is exactly an int."""
    def get_usage_stats(self) -> dict[str, dict[str, int]]:
        """Return the usage statistics of every model used so far (a new outer dict)."""
    def get_litellm_model_string(self, spec: ModelSpec) -> str:
        """Convert a ModelSpec to the litellm model string format ("anthropic/<id>", "openai/<id>")."""
    def _is_available(self, spec: ModelSpec) -> bool:
        """Check if a model is available (API key exists + enabled)."""
    def _select_for_complexity(self, complexity: Complexity) -> ModelSpec:
        """Select the best available model for a given complexity tier."""
    def _get_fallback(self) -> ModelSpec:
        """Get any available model as a last resort."""
