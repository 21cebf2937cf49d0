"""Zorvik's native core: the script-skill engine and the worker model router."""
