"""Loads every .pcd file in a folder in parallel; prints each frame's point count and the total.

    load_frames.py DIR          on a pool of threads in this process
    load_frames.py --dask DIR   on a local Dask cluster of worker processes

tessarel lets go of the interpreter lock while it reads and decodes a file, so plain threads
load frames in parallel. The Dask version is the one to start from when the frames outgrow
one machine: the same tasks run on a cluster of many. Either way each task reduces its frame
to what the caller needs (here its point count) where it was loaded, rather than sending the
arrays back.
"""

import argparse
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import tessarel


def point_count(path: str) -> int:
    points, _ = tessarel.load_pcd(path)
    return len(points)


def counts_on_threads(paths: list[str]) -> list[int]:
    with ThreadPoolExecutor() as pool:
        return list(pool.map(point_count, paths))


def counts_on_dask(paths: list[str]) -> list[int]:
    import dask
    from distributed import Client, LocalCluster

    # No dashboard: it needs a fixed port, which another cluster on this machine may hold.
    with LocalCluster(processes=True, dashboard_address=None) as cluster, Client(cluster):
        return list(dask.compute(*(dask.delayed(point_count)(path) for path in paths)))


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=Path)
    parser.add_argument("--dask", action="store_true", help="load on a local Dask cluster of processes")
    args = parser.parse_args(argv)
    paths = sorted(str(path) for path in args.folder.glob("*.pcd"))
    if not paths:
        print(f"{args.folder}: no .pcd files", file=sys.stderr)
        return 1
    counts = (counts_on_dask if args.dask else counts_on_threads)(paths)
    for path, count in zip(paths, counts):
        print(f"{Path(path).name}: {count} points")
    print(f"total: {sum(counts)} points in {len(paths)} frames")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
