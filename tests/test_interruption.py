"""Ctrl-C stops a long save or load: KeyboardInterrupt, and a save leaves the target as it was."""

import subprocess
import sys

import pytest

from pcd_writer import ENCODINGS

# The child sends itself SIGINT every few milliseconds from the moment the call starts, so
# that one arrives while the call runs, however fast the machine. The first raises
# KeyboardInterrupt, as Python's own handler would; the later ones are ignored.
_CHILD = r"""
import os, signal, sys, threading
import numpy as np
import tessarel

action, encoding, target = sys.argv[1:]
points = np.random.default_rng(0).standard_normal((4_000_000, 3)).astype(np.float32)
if action == "load":
    tessarel.save_pcd(target, points, encoding=encoding)
started, finished = threading.Event(), threading.Event()
raised = []

def first_interrupts(*_):
    if not raised:
        raised.append(True)
        raise KeyboardInterrupt

def interrupt():
    started.wait()
    while not finished.is_set():
        os.kill(os.getpid(), signal.SIGINT)
        finished.wait(0.005)

signal.signal(signal.SIGINT, first_interrupts)

threading.Thread(target=interrupt, daemon=True).start()
try:
    started.set()
    if action == "save":
        # A field of its own, as users build clouds: binary records are gathered, not written in place.
        tessarel.save_pcd(target, points, {"intensity": points[:, 0].copy()}, encoding=encoding)
    else:
        tessarel.load_pcd(target)
    outcome = "finished"
except KeyboardInterrupt:
    outcome = "interrupted"
finally:
    finished.set()
print(outcome)
"""


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("action", ["save", "load"])
def test_ctrl_c_stops_the_call_and_leaves_the_target(tmp_path, action, encoding):
    target = tmp_path / "cloud.pcd"
    if action == "save":
        target.write_bytes(b"the previous file")
    child = subprocess.run([sys.executable, "-c", _CHILD, action, encoding, str(target)],
                           capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr[-3000:]
    assert child.stdout.split() == ["interrupted"]
    if action == "save":
        assert target.read_bytes() == b"the previous file"
    assert [p.name for p in tmp_path.iterdir()] == ["cloud.pcd"]
