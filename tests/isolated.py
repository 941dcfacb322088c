"""Loads files in a child interpreter, so that a crash fails a test instead of the run."""

import json
import subprocess
import sys
from dataclasses import dataclass

_CHILD = r"""
import json, resource, sys
import numpy as np
import tessarel

headroom, keep = int(sys.argv[1]), sys.argv[2] == "keep"
if headroom:
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (size + headroom, size + headroom))
for path in sys.stdin.read().splitlines():
    try:
        points, fields = tessarel.load_pcd(path)
    except Exception as error:
        outcome = {"error": type(error).__name__, "message": str(error)}
    else:
        # Read every returned byte, so that a view past its buffer is caught here.
        for array in (points, *fields.values()):
            np.frombuffer(array.tobytes(), np.uint8).sum()
        outcome = {"points": list(points.shape), "fields": {k: list(v.shape) for k, v in fields.items()}}
        if keep:
            # A zip member's name is text: a name's bytes as Latin-1, ASCII names as they are.
            keys = {name.encode("utf-8", "surrogateescape").decode("latin-1"): v for name, v in fields.items()}
            np.savez(path + ".npz", points=points, **keys)
    print(json.dumps(outcome), flush=True)
"""


@dataclass
class Outcome:
    error: str | None = None
    message: str = ""
    points: tuple[int, ...] = ()
    fields: dict | None = None

    @property
    def ok(self) -> bool:
        return self.error is None


def load_isolated(paths: list[str], address_headroom: int = 0, keep_arrays: bool = False) -> list[Outcome]:
    """Loads each path in one child process. With a headroom, the child may reserve only that
    many bytes of address space beyond what it holds once NumPy and tessarel are imported.
    With keep_arrays, the arrays of each load that succeeds are saved to PATH.npz.

    Fails with the name of the file being loaded when the child dies."""
    child = subprocess.run(
        [sys.executable, "-c", _CHILD, str(address_headroom), "keep" if keep_arrays else "drop"],
        input="\n".join(paths),
        capture_output=True,
        text=True,
        timeout=600,
    )
    lines = child.stdout.splitlines()
    if child.returncode != 0:
        culprit = paths[len(lines)] if len(lines) < len(paths) else "after the last file"
        raise AssertionError(f"child exited with {child.returncode} loading {culprit}:\n{child.stderr[-3000:]}")
    assert len(lines) == len(paths)
    outcomes = []
    for line in lines:
        record = json.loads(line)
        if "error" in record:
            outcomes.append(Outcome(error=record["error"], message=record["message"]))
        else:
            outcomes.append(Outcome(points=tuple(record["points"]), fields=record["fields"]))
    return outcomes


def run_isolated(code: str, *args: str) -> list[str]:
    """Runs `code` in a child interpreter, with `args` as its arguments, and returns the lines
    it printed. Fails when the child dies."""
    child = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True, timeout=600)
    if child.returncode != 0:
        raise AssertionError(f"child exited with {child.returncode}:\n{child.stderr[-3000:]}")
    return child.stdout.splitlines()
