"""Core services: ``zorvik.core.tier_chooser``."""
