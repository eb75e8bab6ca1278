import contextlib
import json
import os
import subprocess
import sys
import textwrap

import pytest

STRUCTURE = "morvane.structural._kernel._structure_kernels"
DIFFERENCE = "morvane.pixelwise._kernel._difference_kernel"
SIMD_PATHS = ("baseline", "avx2", "avx512", "avx512vnni")


@pytest.fixture(scope="session")
def structure_module():
    import morvane.structural._kernel._structure_kernels as module

    return module


@pytest.fixture(scope="session")
def difference_module():
    import morvane.pixelwise._kernel._difference_kernel as module

    return module


def compiled_entries(error):
    """(routine, file name, line) of each traceback entry added by compiled code."""
    entries = []
    tb = error.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename.endswith(".cpp"):
            entries.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return entries


def run_python(source, **environment):
    """Runs `source` in a fresh interpreter; returns its stdout (fails on a non-zero exit)."""
    env = dict(os.environ, **environment)
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(source)],
        capture_output=True,
        text=True,
        env=env,
        cwd=os.path.dirname(__file__),
    )
    assert completed.returncode == 0, completed.stderr
    return completed.stdout


# The processor features each SIMD path needs, as /proc/cpuinfo names them.
SIMD_PATH_CPU_FLAGS = {
    "baseline": (),
    "avx2": ("avx2",),
    "avx512": ("avx512f", "avx512bw", "avx512vl"),
    "avx512vnni": ("avx512f", "avx512bw", "avx512vl", "avx512_vnni"),
}


def cpu_supports(path):
    """Whether this processor can run the SIMD path `path`."""
    with open("/proc/cpuinfo") as cpuinfo:
        flags = next((line.split(":", 1)[1].split() for line in cpuinfo
                      if line.startswith("flags")), [])
    return all(flag in flags for flag in SIMD_PATH_CPU_FLAGS[path])


@contextlib.contextmanager
def np_rebinding(module):
    """Yields rebind(value), which sets the module global `np` to value (or
    deletes it for None); the original binding is restored on exit."""
    original = module.np

    def rebind(value):
        if value is None:
            del module.np
        else:
            module.np = value
        return value

    try:
        yield rebind
    finally:
        module.np = original


def results_on_simd_path(path, source):
    """Runs `source` in a fresh interpreter forced onto the SIMD path `path`
    (skipping a path this processor lacks). `source` prints one JSON object
    with the module's "path" and its "results", which are returned."""
    if not cpu_supports(path):
        pytest.skip(f"this processor cannot run the {path} path")
    run = json.loads(run_python(source, MORVANE_SIMD=path))
    assert run["path"] == path
    return run["results"]
