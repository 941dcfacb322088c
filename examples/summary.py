"""Prints a summary of PCD files: point count, x/y/z bounds, the other fields, load time."""

import sys
import time

import numpy as np

import tessarel


def summarize(path: str) -> None:
    start = time.perf_counter()
    points, fields = tessarel.load_pcd(path)
    elapsed = time.perf_counter() - start
    print(f"{path}: {len(points)} points, loaded in {elapsed * 1e3:.2f} ms")
    if len(points):
        low, high = np.nanmin(points, axis=0), np.nanmax(points, axis=0)
        for axis, lo, hi in zip("xyz", low, high):
            print(f"  {axis}: {lo:.6g} .. {hi:.6g}")
    for name, array in fields.items():
        print(f"  {name}: {array.dtype} {array.shape}")


def main(paths: list[str]) -> int:
    if not paths:
        print("usage: summary.py FILE.pcd [FILE.pcd ...]", file=sys.stderr)
        return 2
    for path in paths:
        summarize(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
