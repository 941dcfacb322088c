"""Ctrl-C stops a long save or load: KeyboardInterrupt, and a save leaves the target as it was; an
interrupted iteration skips no chunk; a forked child cannot use its parent's writer or iterator."""

import gc
import json
import multiprocessing
import os
import select
import signal
import subprocess
import sys

import numpy as np
import pytest

import tessarel
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


# A writer or an iterator inherited by a forked child: every call there raises, naming the
# process that owns it, and collecting it there touches nothing; the parent goes on.
CHILD_CALLS = {
    "writer": {
        "write": lambda writer: writer.write(CHUNKED[:10]),
        "close": lambda writer: writer.close(),
        "abort": lambda writer: writer.abort(),
        "enter": lambda writer: writer.__enter__(),
    },
    "iterator": {
        "next": next,
        "header": lambda chunks: chunks.header,
        "close": lambda chunks: chunks.close(),
    },
}
CHUNKED = np.random.default_rng(5).standard_normal((3000, 3)).astype(np.float32)


def child_outcomes(held, kind: str) -> list[str]:
    outcomes = []
    for name, call in CHILD_CALLS[kind].items():
        try:
            call(held)
            outcomes.append(f"{name}: returned")
        except RuntimeError as error:
            outcomes.append(f"{name}: {error}")
    return outcomes


def run_forked(held, kind: str, start: str) -> list[str]:
    """What each call of `held` gave in a child made by os.fork (which then drops and collects
    it) or by multiprocessing's fork start method; "hung" or "died" otherwise."""
    if start == "multiprocessing":
        context = multiprocessing.get_context("fork")
        receive, send = context.Pipe(duplex=False)
        child = context.Process(target=lambda: send.send(child_outcomes(held, kind)))
        child.start()
        child.join(60)
        if child.is_alive():
            child.kill()
            return ["hung"]
        return receive.recv() if child.exitcode == 0 else ["died"]
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        outcomes = child_outcomes(held, kind)
        del held
        gc.collect()
        os.write(write, json.dumps(outcomes + ["collected"]).encode())
        os._exit(0)
    os.close(write)
    ready, _, _ = select.select([read], [], [], 60)
    said = os.read(read, 1 << 16) if ready else b""
    os.close(read)
    if not said:
        os.kill(pid, signal.SIGKILL)
    _, status = os.waitpid(pid, 0)
    return json.loads(said)[:-1] if said and status == 0 else ["hung" if not said else "died"]


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.parametrize("start", ["fork", "multiprocessing"])
@pytest.mark.parametrize("kind", ["writer", "iterator"])
@pytest.mark.parametrize("encoding", ENCODINGS)
def test_a_forked_child_cannot_use_what_its_parent_holds(tmp_path, kind, start, encoding):
    target = tmp_path / "map.pcd"
    if kind == "writer":
        held = tessarel.PcdWriter(target, encoding=encoding)
        held.write(CHUNKED[:1000])
    else:
        tessarel.save_pcd(target, CHUNKED, encoding=encoding)
        held = tessarel.iter_pcd(target, chunk_points=1000)
        first = next(held)[0]
    outcomes = run_forked(held, kind, start)
    owner = f"belongs to process {os.getpid()}, which made it; this is process"
    assert len(outcomes) == len(CHILD_CALLS[kind]) and all(owner in outcome for outcome in outcomes), outcomes
    if kind == "writer":
        held.write(CHUNKED[1000:])
        held.close()
        assert np.array_equal(tessarel.load_pcd(target)[0], CHUNKED)
    else:
        assert np.array_equal(np.concatenate([first] + [points for points, _ in held]), CHUNKED)
    assert [path.name for path in tmp_path.iterdir()] == ["map.pcd"]


# An iteration that a signal's exception interrupts at some moment: whatever it interrupted,
# no chunk is skipped. Either the exception came between two chunks and the iteration goes on,
# or it ended the iteration, and every later call says so.
_ITERATING_CHILD = r"""
import json, signal, sys
import numpy as np
import tessarel

path, chunk_points = sys.argv[1], int(sys.argv[2])
whole = tessarel.load_pcd(path)[0]

def interrupt(*_):
    raise KeyboardInterrupt

signal.signal(signal.SIGALRM, interrupt)
outcomes = []
for delay in (0.0005, 0.002, 0.005, 0.01, 0.02, 0.05):
    got, ended = [], None
    chunks = tessarel.iter_pcd(path, chunk_points=chunk_points)
    signal.setitimer(signal.ITIMER_REAL, delay)
    try:
        got.extend(points for points, _ in chunks)
    except KeyboardInterrupt:
        pass
    signal.setitimer(signal.ITIMER_REAL, 0)
    try:
        got.extend(points for points, _ in chunks)
        next(chunks)
    except StopIteration:
        pass
    except RuntimeError as error:
        ended = str(error)
    joined = np.concatenate(got) if got else whole[:0]
    outcomes.append({"prefix": bool(np.array_equal(joined, whole[:len(joined)])), "whole": len(joined) == len(whole),
                     "ended": ended})
print(json.dumps(outcomes))
"""


# Points, and points a chunk. A chunk checks for signals every 20 ms at most, between pieces
# of its work: ascii chunks are long enough that some delays always land inside one; binary
# and binary_compressed chunks read so fast that most signals are handled between chunks.
ITERATED = {"ascii": (2_000_000, 200_000), "binary": (6_000_000, 3_000_000),
            "binary_compressed": (12_000_000, 3_000_000)}


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_an_interrupted_chunk_is_never_skipped(tmp_path, encoding):
    target = tmp_path / "cloud.pcd"
    points, chunk_points = ITERATED[encoding]
    tessarel.save_pcd(target, np.random.default_rng(1).standard_normal((points, 3)).astype(np.float32),
                      encoding=encoding)
    child = subprocess.run([sys.executable, "-c", _ITERATING_CHILD, str(target), str(chunk_points)],
                           capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr[-3000:]
    outcomes = json.loads(child.stdout)
    assert all(outcome["prefix"] for outcome in outcomes), outcomes
    ended = [outcome["ended"] for outcome in outcomes if not outcome["whole"]]
    assert all(message and message.startswith("iter_pcd: the iteration ended at chunk ")
               and "which raised KeyboardInterrupt" in message for message in ended), outcomes
    assert ended or encoding != "ascii", outcomes
