"""Reference counts balance: the scenarios run under the debug interpreter."""

import json
import pathlib
import subprocess

import pytest

HERE = pathlib.Path(__file__).parent

pytestmark = pytest.mark.debug_interpreter


def test_no_scenario_leaks(debug_python):
    out = subprocess.run([debug_python, str(HERE / "refcount_scenarios.py")], capture_output=True, text=True,
                         timeout=600)
    assert out.returncode == 0, out.stderr
    results = json.loads(out.stdout)
    # A fraction of a reference per run is noise (caches warming up); a leak is one or more per run.
    leaks = {name: value for name, value in results.items() if value[0] >= 0.5 or value[1] >= 0.5}
    assert not leaks, leaks
