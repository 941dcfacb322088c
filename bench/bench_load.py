"""Times tessarel.load_pcd against baselines measured in the same run and prints the ratios.

binary:            numpy.fromfile on the data section, with a structured dtype
ascii:             numpy.loadtxt, and a C++ loop that only parses the tokens (the floor)
binary_compressed: a C++ loop that only runs lzf_decompress on the block (the floor)
"""

import argparse
import ctypes
import ctypes.util
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import tessarel

HERE = Path(__file__).parent
CACHE = HERE.parent / ".cache" / "bench"
FLOORS = CACHE / "floors"


def header(names, sizes, types, points, data):
    return (
        f"VERSION 0.7\nFIELDS {' '.join(names)}\nSIZE {' '.join(map(str, sizes))}\n"
        f"TYPE {' '.join(types)}\nCOUNT {' '.join('1' for _ in names)}\nWIDTH {points}\nHEIGHT 1\n"
        f"VIEWPOINT 0 0 0 1 0 0 0\nPOINTS {points}\nDATA {data}\n"
    ).encode()


def scan_like(points, seed=1):
    """x y z intensity over a ring x azimuth grid, millimetre-quantised, with missing returns."""
    rng = np.random.default_rng(seed)
    azimuth = np.linspace(0, 2 * np.pi, points, dtype=np.float64)
    ring = np.arange(points) % 64
    distance = np.round(5 + 20 * np.abs(np.sin(azimuth * 7)) + rng.normal(0, 0.01, points), 3)
    x = np.round(distance * np.cos(azimuth), 3).astype(np.float32)
    y = np.round(distance * np.sin(azimuth), 3).astype(np.float32)
    z = np.round(ring * 0.05 - 1.5, 3).astype(np.float32)
    missing = rng.random(points) < 0.05
    x[missing] = y[missing] = z[missing] = np.nan
    intensity = rng.integers(0, 256, points).astype(np.float32)
    label = (ring // 8).astype(np.uint32)
    return x, y, z, intensity, label


def write_binary(path, points):
    x, y, z, i, _ = scan_like(points)
    records = np.empty(points, dtype=[("x", "<f4"), ("y", "<f4"), ("z", "<f4"), ("i", "<f4")])
    records["x"], records["y"], records["z"], records["i"] = x, y, z, i
    path.write_bytes(header("x y z intensity".split(), [4] * 4, "FFFF", points, "binary") + records.tobytes())


def write_ascii(path, points):
    x, y, z, i, label = scan_like(points)
    rng = np.random.default_rng(2)
    x, y, z = (v + rng.normal(0, 1e-4, points).astype(np.float32) for v in (x, y, z))  # nine real digits
    with path.open("wb") as out:
        out.write(header("x y z intensity label".split(), [4] * 5, "FFFFU", points, "ascii"))
        np.savetxt(out, np.column_stack([x, y, z, i]), fmt="%.9g %.9g %.9g %.9g")
    # savetxt writes one matrix; the U 4 column is appended line by line without Python loops.
    text = path.read_bytes().split(b"DATA ascii\n", 1)
    lines = text[1].rstrip(b"\n").split(b"\n")
    labels = [str(v).encode() for v in label]
    body = b"\n".join(line + b" " + lab for line, lab in zip(lines, labels)) + b"\n"
    path.write_bytes(text[0] + b"DATA ascii\n" + body)


def lzf_compress(data: bytes) -> bytes:
    lib = ctypes.CDLL(ctypes.util.find_library("lzf") or "liblzf.so.1")
    out = ctypes.create_string_buffer(len(data) + len(data) // 16 + 64)
    size = lib.lzf_compress(data, len(data), out, len(out))
    assert size > 0, "lzf_compress failed"
    return out.raw[:size]


def write_compressed(path, points):
    columns = scan_like(points)
    block = b"".join(np.ascontiguousarray(c).tobytes() for c in columns)
    packed = lzf_compress(block)
    size_header = np.array([len(packed), len(block)], "<u4").tobytes()
    head = header("x y z intensity label".split(), [4] * 5, "FFFFU", points, "binary_compressed")
    path.write_bytes(head + size_header + packed)


def cached(name, writer, points):
    path = CACHE / name
    if not path.exists():
        CACHE.mkdir(parents=True, exist_ok=True)
        print(f"writing {path} ...", flush=True)
        writer(path, points)
    return path


def median_time(work, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        work()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def header_length(path):
    content = path.open("rb").read(4096)
    return content.index(b"\nDATA ") + content[content.index(b"\nDATA ") + 1 :].index(b"\n") + 2


def build_floors():
    if FLOORS.exists() and FLOORS.stat().st_mtime > (HERE / "floors.cpp").stat().st_mtime:
        return
    CACHE.mkdir(parents=True, exist_ok=True)
    include = [f"-I{p}" for p in [HERE.parent / ".deps/fast_float/usr/include"] if p.exists()]
    compiler = os.environ.get("CXX", shutil.which("g++") or "c++")
    subprocess.run([compiler, "-O2", "-std=c++20", *include, str(HERE / "floors.cpp"), "-llzf", "-o", str(FLOORS)], check=True)


def floor(*args):
    return float(subprocess.run([str(FLOORS), *map(str, args)], check=True, capture_output=True, text=True).stdout)


def row(label, ours, baseline_name, baseline):
    print(f"{label:<34} tessarel {ours * 1e3:9.1f} ms   {baseline_name:<22} {baseline * 1e3:9.1f} ms   ratio {ours / baseline:5.2f}")


def bench_binary(points, runs):
    path = cached(f"binary_{points}.pcd", write_binary, points)
    offset = header_length(path)
    dtype = np.dtype([("x", "<f4"), ("y", "<f4"), ("z", "<f4"), ("i", "<f4")])
    ours = median_time(lambda: tessarel.load_pcd(str(path)), runs)
    base = median_time(lambda: np.fromfile(path, dtype=dtype, offset=offset), runs)
    row(f"binary {points:,} points", ours, "numpy.fromfile", base)


def bench_ascii(points, runs):
    path = cached(f"ascii_{points}.pcd", write_ascii, points)
    text_bytes = path.stat().st_size - header_length(path)
    ours = median_time(lambda: tessarel.load_pcd(str(path)), runs)
    base = floor("ascii", path, 4, 1, runs)
    row(f"ascii {points:,} points", ours, "fast_float floor", base)
    loadtxt = median_time(lambda: np.loadtxt(path, skiprows=11, dtype=np.float32), 1)
    row(f"ascii {points:,} points", ours, "numpy.loadtxt", loadtxt)
    print(f"{'':<34} tessarel {text_bytes / ours / 1e6:9.1f} MB/s of text, floor {text_bytes / base / 1e6:.1f} MB/s")


def bench_compressed(points, runs):
    path = cached(f"compressed_{points}.pcd", write_compressed, points)
    ours = median_time(lambda: tessarel.load_pcd(str(path)), runs)
    base = floor("lzf", path, runs)
    row(f"binary_compressed {points:,} points", ours, "lzf_decompress floor", base)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--only", choices=["binary", "ascii", "compressed"])
    args = parser.parse_args()
    build_floors()
    print(f"tessarel on {os.cpu_count()} cores, Python {sys.version.split()[0]}, NumPy {np.__version__}")
    if args.only in (None, "binary"):
        bench_binary(10_000_000, args.runs)
    if args.only in (None, "ascii"):
        bench_ascii(2_000_000, max(3, args.runs // 2))
    if args.only in (None, "compressed"):
        bench_compressed(10_000_000, args.runs)


if __name__ == "__main__":
    main()
