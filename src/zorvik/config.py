"""Stand-in for the host application's configuration module.

The real application keeps its API keys in its own secret store; the router
only asks that store whether a key exists for a provider. This stand-in
answers from the environment (``<PROVIDER>_API_KEY``), which is enough for the
demo, the tests and hosts that keep keys in the environment.
"""

import os

__all__ = ["SecretsStore"]


class SecretsStore:
    """Answers whether an API key is known for a provider."""

    def get_key(self, provider: str) -> str | None:
        """The key for ``provider`` (e.g. "openai" reads OPENAI_API_KEY), or None."""
        return os.environ.get(f"{provider.upper()}_API_KEY") or None

    def has_key(self, provider: str) -> bool:
        """True when a key for ``provider`` is known."""
        return self.get_key(provider) is not None
