"""The prefault helper's decisions, watched through the stand-in for madvise that
page_prefault_check.cpp gives it: which pages, on which thread, and when it stays home."""

import subprocess
from pathlib import Path

import pytest

import dev_build

SKIPPED = 77  # the check program's answer when this machine cannot run a case


@pytest.fixture(scope="module")
def check_program() -> Path:
    return dev_build.target("page_prefault_check")


@pytest.mark.parametrize("case", [
    "helps",        # above the threshold with two CPUs: every whole page, in order, in pieces, on its own thread
    "small",        # one byte under the threshold: no helper
    "one_cpu",      # pinned to one CPU: no helper, however large the ranges
    "uncounted",    # a load not counted as large: no helper, however large the ranges
    "busy",         # every CPU taken by a load and its helper: the next load gets none
    "stands_down",  # other loads start while the helper works: it stops
    "load_fails",   # the load fails while the helper works: it stops
    "refused",      # the kernel refuses the advice: the helper stops, and later loads start none
])
def test_prefault_helper(check_program, case):
    run = subprocess.run([str(check_program), case], check=False, capture_output=True, text=True, timeout=60)
    if run.returncode == SKIPPED:
        pytest.skip(f"{case} needs a kernel header with MADV_POPULATE_WRITE and two CPUs")
    assert run.returncode == 0, run.stdout + run.stderr
    assert "ok: " in run.stdout
