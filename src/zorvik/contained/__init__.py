"""Contained runs: each skill run in a worker process of its own, supervised from the host's event loop.

    from zorvik.contained import ContainedRunner

    async with ContainedRunner(timeout=60, memory_mb=500) as runner:
        result = await runner.run("news", {"topic": "rust"})

A skill that spins, blocks, crashes, exits or eats memory ends its own run,
not the host: see ``ContainedRunner``. The package's own modules: ``runner``
(the API), ``handle`` (the host's side of one run), ``supervisor`` (the
process that reaps and kills what a run leaves) and ``worker`` (the process
that runs the skill).
"""

__all__ = ["ContainedRunner"]


def __getattr__(name):
    # The supervisor is started as "python3 -m zorvik.contained", which imports this
    # package first: it forks the worker before anything heavy is imported, so the
    # runner (and the engine, asyncio...) is imported only when asked for.
    if name == "ContainedRunner":
        from zorvik.contained.runner import ContainedRunner

        return ContainedRunner
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
