"""Large maps: mapped loads, chunked reads and field-selected loads against NumPy's own.

Each measurement runs in a child process of its own, so that its peak resident memory is its
own; every ratio is taken against a baseline measured in the same run, the passes over the
whole map the best of two taken in turn:

- `load_pcd(mmap=True)` of a binary map of x y z intensity (1.8 billion points, 28.8 GB by
  default): the time of the call, the resident memory after it, and a pass over x, y and z
  (their sums) against the same pass over `numpy.memmap` of the same records;
- `iter_pcd(fields=["x", "y", "z"])` over the same map: its peak resident memory against one
  chunk's arrays, and its throughput against `numpy.fromfile` reading the same records chunk by
  chunk;
- a plain `load_pcd` of a binary map of 9.6 GB against `numpy.fromfile` of its data section;
- a 5-million-point cloud of ten fields, loading three of them against the whole load: time in
  `ascii`, peak memory in `binary_compressed` against the three columns' bytes.

The maps are sparse files (their values read as zero), so they cost no disk and are written in
an instant; `--map-points` and `--plain-points` shrink them. Files stay in .cache/bench/maps.
Results in results/maps.json.
"""

import argparse
import json
import os
import platform
import resource
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import datasets
from timing import median_seconds

HERE = Path(__file__).parent
CACHE = HERE.parent / ".cache" / "bench"
MAPS = CACHE / "maps"
MiB = 1 << 20
XYZI = np.dtype([("x", "<f4"), ("y", "<f4"), ("z", "<f4"), ("intensity", "<f4")])
CHUNK = 1_000_000


def sparse_map(points: int) -> Path:
    """A binary x y z intensity map of `points` points whose data section is a hole."""
    path = MAPS / f"xyzi_{points}.pcd"
    if path.exists():
        return path
    MAPS.mkdir(parents=True, exist_ok=True)
    header = (
        "VERSION 0.7\nFIELDS x y z intensity\nSIZE 4 4 4 4\nTYPE F F F F\nCOUNT 1 1 1 1\n"
        f"WIDTH {points}\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS {points}\nDATA binary\n"
    ).encode()
    with open(path, "wb") as out:
        out.write(header)
        out.truncate(len(header) + points * XYZI.itemsize)
    return path


def resident_bytes() -> int:
    """This process's resident memory now."""
    with open("/proc/self/status") as status:
        line = next(line for line in status if line.startswith("VmRSS:"))
    return int(line.split()[1]) * 1024


def peak_bytes() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


# Each child measures one thing and prints a JSON object.


def child_mapped_call(path: str) -> dict:
    import tessarel

    before = resident_bytes()
    start = time.perf_counter()
    points, fields = tessarel.load_pcd(path, mmap=True)
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "resident_after": resident_bytes() - before, "points": len(points)}


def xyz_sums(xyz: np.ndarray) -> float:
    """Sums x, y and z a million points at a time, as a pass over a map does."""
    total = 0.0
    for first in range(0, len(xyz), CHUNK):
        total += float(xyz[first : first + CHUNK].sum(dtype=np.float64))
    return total


def child_mapped_pass(path: str) -> dict:
    import tessarel

    points, _ = tessarel.load_pcd(path, mmap=True)
    start = time.perf_counter()
    xyz_sums(points)
    return {"seconds": time.perf_counter() - start}


def child_memmap_pass(path: str) -> dict:
    # Read-only: a private writable numpy.memmap reserves memory for the whole map, and fails.
    records = np.memmap(path, dtype=XYZI, mode="r", offset=datasets.data_offset(Path(path)))
    xyz = np.ndarray((len(records), 3), np.float32, records, 0, (XYZI.itemsize, 4))
    del records
    start = time.perf_counter()
    xyz_sums(xyz)
    return {"seconds": time.perf_counter() - start}


def child_chunks(path: str) -> dict:
    import tessarel

    before = peak_bytes()
    start = time.perf_counter()
    with tessarel.iter_pcd(path, chunk_points=CHUNK, fields=["x", "y", "z"]) as chunks:
        points = sum(len(chunk) for chunk, _ in chunks)
    return {"seconds": time.perf_counter() - start, "peak": peak_bytes() - before, "points": points}


def child_fromfile_chunks(path: str) -> dict:
    start = time.perf_counter()
    with open(path, "rb") as source:
        source.seek(datasets.data_offset(Path(path)))
        points = 0
        while len(records := np.fromfile(source, dtype=XYZI, count=CHUNK)):
            points += len(records)
    return {"seconds": time.perf_counter() - start, "points": points}


def child_load(path: str) -> dict:
    import tessarel

    seconds = median_seconds(lambda: tessarel.load_pcd(path), 3, budget=60)
    return {"seconds": seconds}


def child_fromfile(path: str) -> dict:
    offset = datasets.data_offset(Path(path))

    def read() -> None:
        with open(path, "rb") as source:
            source.seek(offset)
            np.fromfile(source, dtype=XYZI)

    return {"seconds": median_seconds(read, 3, budget=60)}


def child_selected(path: str, selected: str) -> dict:
    import tessarel

    fields = selected.split(",") if selected else None
    with open(path, "rb") as source:  # into the page cache, which is not resident memory of ours
        while source.read(MiB):
            pass
    before = peak_bytes()
    seconds = median_seconds(lambda: tessarel.load_pcd(path, fields=fields), 5)
    return {"seconds": seconds, "peak": peak_bytes() - before}


CHILDREN = {name[len("child_") :]: value for name, value in globals().items() if name.startswith("child_")}


def measure(name: str, *args: str) -> dict:
    """Runs child `name` in a process of its own, with a page cache that holds what it reads."""
    out = subprocess.run(
        [sys.executable, __file__, "--child", name, *args], check=True, capture_output=True, text=True
    ).stdout
    return json.loads(out.splitlines()[-1])


def best_of_alternate(ours: str, baseline: str, path: str, rounds: int = 2) -> tuple[dict, dict]:
    """The fastest of `rounds` runs of each, taken in turn, so that both see the same machine
    and the same page cache."""
    runs = [(measure(ours, path), measure(baseline, path)) for _ in range(rounds)]
    return tuple(min((run[side] for run in runs), key=lambda result: result["seconds"]) for side in (0, 1))


def mib(size: float) -> str:
    return f"{size / MiB:,.1f} MiB"


def bench_map(points: int) -> dict:
    path = str(sparse_map(points))
    size = os.path.getsize(path)
    print(f"map of {points:,} points, {size / 1e9:.1f} GB (sparse)")
    call = measure("mapped_call", path)
    print(f"  load_pcd(mmap=True): {call['seconds'] * 1e3:.3f} ms, resident after it {mib(call['resident_after'])}")
    mapped, memmap = best_of_alternate("mapped_pass", "memmap_pass", path)
    pass_ratio = memmap["seconds"] / mapped["seconds"]
    print(
        f"  pass over x, y, z: {mapped['seconds']:.1f} s, numpy.memmap {memmap['seconds']:.1f} s:"
        f" speed {pass_ratio:.2f}x"
    )
    chunks, fromfile = best_of_alternate("chunks", "fromfile_chunks", path)
    chunk_arrays = CHUNK * 3 * 4
    throughput = fromfile["seconds"] / chunks["seconds"]
    print(
        f"  iter_pcd x, y, z: {chunks['seconds']:.1f} s, numpy.fromfile chunks {fromfile['seconds']:.1f} s:"
        f" throughput {throughput:.2f}x; peak {mib(chunks['peak'])} = one chunk's arrays"
        f" ({mib(chunk_arrays)}) + {mib(chunks['peak'] - chunk_arrays)}"
    )
    return {
        "points": points,
        "mapped_call_seconds": call["seconds"],
        "resident_after_call": call["resident_after"],
        "pass_speed_vs_memmap": pass_ratio,
        "chunks_throughput_vs_fromfile": throughput,
        "chunks_peak_beyond_one_chunk": chunks["peak"] - chunk_arrays,
    }


def bench_plain(points: int) -> dict:
    path = str(sparse_map(points))
    print(f"plain load of {os.path.getsize(path) / 1e9:.1f} GB (sparse)")
    load, fromfile = measure("load", path), measure("fromfile", path)
    ratio = load["seconds"] / fromfile["seconds"]
    print(f"  load_pcd {load['seconds']:.2f} s, numpy.fromfile {fromfile['seconds']:.2f} s: time {ratio:.2f}x")
    return {"points": points, "load_time_vs_fromfile": ratio}


def bench_selection() -> dict:
    selected = "x,y,z"
    print("5 M points, 10 fields: x, y and z selected against all")
    results = {}
    ascii_path = str(datasets.cloud_file(CACHE, 5_000_000, datasets.MIXES["full"], "ascii"))
    whole, some = measure("selected", ascii_path, ""), measure("selected", ascii_path, selected)
    results["ascii_time_vs_whole"] = some["seconds"] / whole["seconds"]
    print(f"  ascii: {some['seconds']:.2f} s against {whole['seconds']:.2f} s: {results['ascii_time_vs_whole']:.2f}x")
    compressed = str(datasets.cloud_file(CACHE, 5_000_000, datasets.MIXES["full"], "binary_compressed"))
    some = measure("selected", compressed, selected)
    columns = 5_000_000 * 3 * 4
    results["compressed_peak_beyond_columns"] = some["peak"] - columns
    beyond = some["peak"] - columns
    print(f"  binary_compressed: peak {mib(some['peak'])} = the columns ({mib(columns)}) + {mib(beyond)}")
    return results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--map-points", type=int, default=1_800_000_000)
    parser.add_argument("--plain-points", type=int, default=600_000_000)
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(CHILDREN[args.child[0]](*args.child[1:])))
        return
    results = {
        "machine": platform.machine(),
        "cpus": os.cpu_count(),
        "map": bench_map(args.map_points),
        "plain": bench_plain(args.plain_points),
        "selection": bench_selection(),
    }
    out = HERE / "results" / "maps.json"
    out.write_text(json.dumps(results, indent=2) + "\n")
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
