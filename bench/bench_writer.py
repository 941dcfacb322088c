"""Times a map written scan by scan with tessarel.PcdWriter against one save_pcd of the whole
map, and measures the peak memory of a map written scan by scan.

For each encoding, in one run: 100 writes of 50,000 points (x y z intensity, arrays of the
caller's own, each scan a slice of the map's arrays) against one save_pcd of the same 5
million points. Then, in a child process each, the peak resident memory of a 100-write binary
map beyond the one scan the caller holds, and of one save_pcd of the whole map beyond its
arrays. Every file is read back and compared before it is deleted.

Writes results/writer.json beside this script.
"""

import argparse
import functools
import json
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import datasets
from timing import median_seconds

HERE = Path(__file__).parent
CACHE = HERE.parent / ".cache" / "bench"
OUT = CACHE / "map.pcd"
MIB = 1 << 20


def map_arrays(points: int) -> tuple[np.ndarray, dict]:
    records = datasets.scan(points, datasets.MIXES["xyzi"])
    points = np.stack([records[axis] for axis in "xyz"], axis=1)
    return points, {"intensity": np.ascontiguousarray(records["intensity"])}


def scan_by_scan(tessarel, points: np.ndarray, fields: dict, scans: int, encoding: str, closes: list) -> None:
    """Appends to `closes` the seconds that completing the file took."""
    step = len(points) // scans
    with tessarel.PcdWriter(OUT, encoding=encoding) as out:
        for first in range(0, len(points), step):
            out.write(points[first:first + step], {name: v[first:first + step] for name, v in fields.items()})
        written = time.perf_counter()
    closes.append(time.perf_counter() - written)


def check(tessarel, points: np.ndarray, fields: dict) -> None:
    loaded, loaded_fields = tessarel.load_pcd(OUT)
    same = np.array_equal(loaded, points, equal_nan=True)
    if not same or not np.array_equal(loaded_fields["intensity"], fields["intensity"], equal_nan=True):
        raise SystemExit(f"{OUT} does not read back as written")


def peak_beyond_arrays(mode: str, points: int, scans: int) -> float:
    """MiB of peak resident memory while writing, beyond what the process held when it began."""
    code = f"""
import sys
sys.path.insert(0, {str(HERE)!r})
import tessarel, bench_writer
if {mode!r} == "writer":
    points, fields = bench_writer.map_arrays({points // scans})
    before = bench_writer.resident_bytes()
    with tessarel.PcdWriter(bench_writer.OUT) as out:
        for scan in range({scans}):
            out.write(points, fields)
else:
    points, fields = bench_writer.map_arrays({points})
    before = bench_writer.resident_bytes()
    tessarel.save_pcd(bench_writer.OUT, points, fields)
print(bench_writer.peak_resident_bytes() - before)
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    OUT.unlink(missing_ok=True)
    return int(done.stdout) / MIB


def resident_bytes() -> int:
    """The process's resident memory now; its peak is reset to it, so that the peak of what
    follows is measured alone."""
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    return status_bytes("VmRSS")


def peak_resident_bytes() -> int:
    return status_bytes("VmHWM")


def status_bytes(key: str) -> int:
    with open("/proc/self/status") as status:
        line = next(line for line in status if line.startswith(key + ":"))
    return int(line.split()[1]) * 1024


def median_ratio(work, baseline, runs: int) -> tuple[float, float, float]:
    """Medians of the two timings and of their ratio, each run timing one right after the other,
    so that a machine shared with other work slows both alike."""
    pairs = [(median_seconds(work, 1, after=remove), median_seconds(baseline, 1, after=remove)) for _ in range(runs)]
    return (statistics.median(p[0] for p in pairs), statistics.median(p[1] for p in pairs),
            statistics.median(p[0] / p[1] for p in pairs))


def remove() -> None:
    OUT.unlink(missing_ok=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--points", type=int, default=5_000_000)
    parser.add_argument("--scans", type=int, default=100)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--encodings", nargs="+", default=list(datasets.ENCODINGS), choices=datasets.ENCODINGS)
    args = parser.parse_args()
    import tessarel

    CACHE.mkdir(parents=True, exist_ok=True)
    points, fields = map_arrays(args.points)
    print(f"{time.strftime('%Y-%m-%d %H:%M')}, {platform.machine()}; {args.points:,} points of x y z intensity, "
          f"{args.scans} writes of {args.points // args.scans:,} against one save_pcd; median ms")
    report = {}
    for encoding in args.encodings:
        whole_map = functools.partial(tessarel.save_pcd, OUT, points, fields, encoding=encoding)
        closes = []
        by_scan = functools.partial(scan_by_scan, tessarel, points, fields, args.scans, encoding, closes)
        for write in (whole_map, by_scan):
            write()
            check(tessarel, points, fields)
        parts, whole, ratio = median_ratio(by_scan, whole_map, args.runs)
        close = statistics.median(closes)
        report[encoding] = {"save_pcd ms": whole * 1e3, "PcdWriter ms": parts * 1e3, "close ms": close * 1e3,
                            "ratio": ratio}
        print(f"{encoding:<18} save_pcd {whole * 1e3:8.1f}  PcdWriter {parts * 1e3:8.1f}, completing {close * 1e3:5.1f}"
              f"  (ratio {ratio:.2f})", flush=True)
    scan_mib = args.points // args.scans * 16 / MIB
    writer_peak = peak_beyond_arrays("writer", args.points, args.scans)
    save_peak = peak_beyond_arrays("save", args.points, args.scans)
    print(f"peak memory, binary: {args.scans} writes {writer_peak:.1f} MiB beyond the scan of {scan_mib:.1f} MiB; "
          f"one save_pcd {save_peak:.1f} MiB beyond the map's {args.points * 16 / MIB:.0f} MiB of arrays")
    report["peak MiB beyond the arrays"] = {"PcdWriter": writer_peak, "save_pcd": save_peak}
    (HERE / "results").mkdir(exist_ok=True)
    (HERE / "results" / "writer.json").write_text(json.dumps(report, indent=1))


if __name__ == "__main__":
    main()
