"""Times tessarel.save_pcd against the other PCD writers for Python and the floors.

For clouds of 100 thousand and 5 million points, two field mixes and each encoding, in one
run: tessarel, the peers' writers that import (pypcd4, open3d.t, pcd-py), and the floor of
the encoding: numpy.tofile of the same records for binary, liblzf's lzf_compress of the same
columns for binary_compressed. tessarel writes the arrays as load_pcd returns them (views of
one buffer), and, as a second row, arrays of the caller's own (points of shape (N, 3) and a
contiguous array for each other field). For ascii and binary_compressed, which tessarel
makes on every usable CPU, tessarel again pinned to one CPU. Each file is read back with
tessarel: a writer whose file reads back other
values, or not at all, is reported so. Every file is deleted after its run. For ascii, the
time of a value on one CPU beside that of the text conversions alone (floors.cpp), with
std::to_chars and with the formatter saves use.

Then, with the binary encoding, the case users meet most: 2 million points of x y z intensity
label from arrays of their own (points of shape (N, 3) float32, intensity float32, label
uint32), against numpy.tofile of the finished records and save_pcd of load_pcd's views of
them, each on all usable CPUs and pinned to one. Once into a new name each time and once over
the existing file, which on ext4 costs more (the rename or truncation flushes the old file's
replacement): each is compared with numpy.tofile of the same kind. Runs are interleaved, so
that a machine whose load changes meanwhile slows every writer alike, and beside the ratio of
medians comes that of the best runs, those that found the CPUs free on a shared machine.

Writes results/save.json beside this script.
"""

import ctypes
import ctypes.util
import functools
import importlib
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import datasets
from timing import median_seconds

sys.path.insert(0, str(Path(__file__).parent.parent / "devkit"))
import dev_build  # noqa: E402

HERE = Path(__file__).parent
CACHE = HERE.parent / ".cache" / "bench"
OUT = CACHE / "saved.pcd"
SIZES = (100_000, 5_000_000)
SEPARATE_POINTS = 2_000_000


def remove_output() -> None:
    OUT.unlink(missing_ok=True)


def on_one_cpu(work):
    """`work` with this thread pinned to one of its CPUs, which tessarel then takes as all it has."""
    def pinned() -> None:
        cpus = os.sched_getaffinity(0)
        os.sched_setaffinity(0, {min(cpus)})
        try:
            work()
        finally:
            os.sched_setaffinity(0, cpus)

    return pinned


def tessarel_writer(source: Path):
    tessarel = importlib.import_module("tessarel")
    points, fields = tessarel.load_pcd(source)
    return lambda encoding: tessarel.save_pcd(OUT, points, fields, encoding=encoding)


def tessarel_own_arrays_writer(records: np.ndarray):
    """Arrays of the caller's own: points (N, 3) and a contiguous array for each other field."""
    tessarel = importlib.import_module("tessarel")
    points = np.stack([records[axis] for axis in "xyz"], axis=1)
    fields = {name: np.ascontiguousarray(records[name]) for name in records.dtype.names[3:]}
    return lambda encoding: tessarel.save_pcd(OUT, points, fields, encoding=encoding)


def pypcd4_writer(records: np.ndarray):
    pypcd4 = importlib.import_module("pypcd4")
    names = list(records.dtype.names)
    columns = [np.ascontiguousarray(records[name]) for name in names]
    types = [records.dtype[name] for name in names]
    encodings = {e.value: e for e in pypcd4.Encoding}
    return lambda encoding: pypcd4.PointCloud.from_points(columns, names, types).save(OUT, encoding=encodings[encoding])


def open3d_writer(records: np.ndarray):
    o3d = importlib.import_module("open3d")

    def write(encoding: str) -> None:
        cloud = o3d.t.geometry.PointCloud()
        cloud.point.positions = o3d.core.Tensor(np.stack([records[axis] for axis in "xyz"], axis=1))
        for name in records.dtype.names[3:]:
            cloud.point[name] = o3d.core.Tensor(np.ascontiguousarray(records[name])[:, None])
        o3d.t.io.write_point_cloud(str(OUT), cloud, write_ascii=encoding == "ascii",
                                   compressed=encoding == "binary_compressed")

    return write


def pcd_py_writer(records: np.ndarray):
    pcd_py = importlib.import_module("pcd_py")
    data = {name: np.ascontiguousarray(records[name]) for name in records.dtype.names}
    return lambda encoding: pcd_py.write_pcd(str(OUT), data, format=encoding)


PEERS = {"pypcd4": pypcd4_writer, "open3d.t": open3d_writer, "pcd-py": pcd_py_writer}


def floor(records: np.ndarray, encoding: str):
    """The floor's work, and for compressed, the size of liblzf's block."""
    if encoding == "binary":
        return (lambda: records.tofile(OUT)), None
    columns = b"".join(np.ascontiguousarray(records[name]).tobytes() for name in records.dtype.names)
    lzf = ctypes.CDLL(ctypes.util.find_library("lzf") or "liblzf.so.1")
    out = ctypes.create_string_buffer(len(columns) + len(columns) // 16 + 64)
    size = lzf.lzf_compress(columns, len(columns), out, len(out))
    return (lambda: lzf.lzf_compress(columns, len(columns), out, len(out))), size


def ascii_conversions(points: int, mix: datasets.Mix, runs: int) -> dict:
    """Seconds of the text conversions alone of an ASCII save of the cloud, on one CPU: with
    std::to_chars, as saves made them before, and with the formatter they use."""
    path = datasets.cloud_file(CACHE, points, mix, "ascii")
    types = "".join("F" if kind[0] == "f" else "U" for _, kind in mix.fields)
    command = [str(dev_build.target("floors")), "ascii-save", str(path), types, str(runs)]
    standard, ours = map(float, subprocess.run(command, check=True, capture_output=True, text=True).stdout.split())
    return {"std::to_chars": standard, "ours": ours, "values": points * len(types)}


def reads_back(records: np.ndarray) -> str:
    """'exact', or what differs when tessarel reads the written file."""
    tessarel = importlib.import_module("tessarel")
    try:
        points, fields = tessarel.load_pcd(OUT)
    except Exception as error:  # a peer's file that does not read at all
        return f"unreadable: {error}"
    values = {"x": points[:, 0], "y": points[:, 1], "z": points[:, 2], **fields}
    for name in records.dtype.names:
        if name not in values:
            return f"{name} missing"
        got, want = np.asarray(values[name]).ravel(), records[name]
        if got.shape != want.shape or not np.array_equal(got.astype(want.dtype), want, equal_nan=True):
            return f"{name} differs"
    return "exact"


def compressed_size() -> int:
    with OUT.open("rb") as file:
        head = file.read(1 << 16)
    start = head.index(b"\nDATA ") + 1
    start += head[start:].index(b"\n") + 1
    return int(np.frombuffer(head[start : start + 4], "<u4")[0])


def bench(points: int, mix: datasets.Mix, encoding: str, writers: dict, runs: int) -> dict:
    records = datasets.scan(points, mix)
    source = datasets.cloud_file(CACHE, points, mix, "binary")
    row = {"times": {}, "checks": {}}
    for name, make in writers.items():
        write = make(source if name == "tessarel" else records)
        write(encoding)
        row["checks"][name] = reads_back(records)
        if name == "tessarel" and encoding == "binary_compressed":
            row["tessarel block"] = compressed_size()
        row["times"][name] = median_seconds(functools.partial(write, encoding), runs, after=remove_output)
        if name == "tessarel" and encoding != "binary":
            row["times"]["tessarel, one CPU"] = median_seconds(on_one_cpu(functools.partial(write, encoding)), runs,
                                                               after=remove_output)
    if encoding == "ascii":
        row["conversions"] = ascii_conversions(points, mix, runs)
    if encoding != "ascii":
        work, size = floor(records, encoding)
        name = "numpy.tofile" if encoding == "binary" else "lzf_compress"
        row["times"][name] = median_seconds(work, runs, after=remove_output)
        if size:
            row["liblzf block"] = size
    return row


def print_row(label: str, row: dict) -> None:
    ours = row["times"]["tessarel"]
    cells = [f"{name} {seconds * 1e3:.1f} ms ({seconds / ours:.2f})" for name, seconds in row["times"].items()]
    print(f"{label:<34} " + ", ".join(cells), flush=True)
    for name, check in row["checks"].items():
        if check != "exact":
            print(f"{'':<34} {name}: {check}")
    if "conversions" in row:
        values, one_cpu = row["conversions"]["values"], row["times"]["tessarel, one CPU"]
        standard, ours = row["conversions"]["std::to_chars"], row["conversions"]["ours"]
        print(f"{'':<34} a value on one CPU: save {one_cpu / values * 1e9:.1f} ns ({one_cpu / standard:.2f} of "
              f"std::to_chars' conversions alone), conversions alone {ours / values * 1e9:.1f} ns against "
              f"std::to_chars' {standard / values * 1e9:.1f} ns ({ours / standard:.2f})")
    if "liblzf block" in row:
        print(f"{'':<34} block {row['tessarel block']:,} bytes, liblzf's {row['liblzf block']:,} "
              f"({row['tessarel block'] / row['liblzf block']:.3f})")


def interleaved_times(works: dict, runs: int, before) -> dict:
    """Median and best seconds of each work, timed in turns; `before` runs untimed ahead of each
    timing. On a shared machine the best runs are those that found its CPUs free."""
    times = {name: [] for name in works}
    for _ in range(runs):
        for name, work in works.items():
            before()
            start = time.perf_counter()
            work()
            times[name].append(time.perf_counter() - start)
    return {name: {"median": statistics.median(seconds), "best": min(seconds)} for name, seconds in times.items()}


def bench_separate_arrays(runs: int) -> dict:
    """Binary saves of arrays of the caller's own and of load_pcd's views, against numpy.tofile."""
    tessarel = importlib.import_module("tessarel")
    mix = datasets.Mix("xyzil", (*datasets.MIXES["xyzi"].fields, ("label", "u4")), ())
    records = np.zeros(SEPARATE_POINTS, mix.dtype)
    scanned = datasets.scan(SEPARATE_POINTS, datasets.MIXES["xyzi"])
    for name in scanned.dtype.names:
        records[name] = scanned[name]
    records["label"] = np.arange(SEPARATE_POINTS) % datasets.RINGS // 20
    points = np.stack([records[axis] for axis in "xyz"], axis=1)
    fields = {"intensity": np.ascontiguousarray(records["intensity"]), "label": np.ascontiguousarray(records["label"])}
    OUT.write_bytes(datasets.header(mix, SEPARATE_POINTS, "binary") + records.tobytes())
    views = tessarel.load_pcd(OUT)
    works = {
        "separate arrays": lambda: tessarel.save_pcd(OUT, points, fields),
        "separate arrays, one CPU": on_one_cpu(lambda: tessarel.save_pcd(OUT, points, fields)),
        "load_pcd's views": lambda: tessarel.save_pcd(OUT, *views),
        "load_pcd's views, one CPU": on_one_cpu(lambda: tessarel.save_pcd(OUT, *views)),
        "numpy.tofile": lambda: records.tofile(OUT),
    }
    works["separate arrays"]()
    row = {"check": reads_back(records)}
    remove_output()
    row["new name"] = interleaved_times(works, max(runs, 15), before=remove_output)
    works["numpy.tofile"]()
    row["existing file"] = interleaved_times(works, max(runs, 15), before=lambda: None)
    remove_output()
    print(f"{SEPARATE_POINTS:,} x y z intensity label, binary; median ms (ratio to numpy.tofile of the records; "
          "ratio of the best runs)")
    for target in ("new name", "existing file"):
        floor = row[target]["numpy.tofile"]
        cells = [f"{name} {t['median'] * 1e3:.1f} ms "
                 f"({t['median'] / floor['median']:.2f}; {t['best'] / floor['best']:.2f})"
                 for name, t in row[target].items()]
        print(f"  {target:<14} " + ", ".join(cells), flush=True)
    if row["check"] != "exact":
        print(f"  tessarel: {row['check']}")
    return row


def main() -> None:
    parser = datasets.cloud_arguments(__doc__, SIZES)
    args = parser.parse_args()
    writers = {"tessarel": tessarel_writer, "tessarel, own arrays": tessarel_own_arrays_writer}
    for name, make in PEERS.items():
        try:
            importlib.import_module({"open3d.t": "open3d", "pcd-py": "pcd_py"}.get(name, name))
            writers[name] = make
        except ImportError as error:
            print(f"{name}: not measured ({error})")
    machine = f"{platform.machine()}, {len(os.sched_getaffinity(0))} CPUs usable, Linux {platform.release()}"
    print(f"{time.strftime('%Y-%m-%d %H:%M')}, {machine}; median ms (ratio to tessarel)")
    results = {}
    for points in args.sizes:
        for mix_name in args.mixes:
            for encoding in args.encodings:
                label = f"{points:,} {mix_name} {encoding}"
                results[label] = bench(points, datasets.MIXES[mix_name], encoding, writers, args.runs)
                print_row(label, results[label])
    if "binary" in args.encodings:
        results["separate arrays"] = bench_separate_arrays(args.runs)
    (HERE / "results").mkdir(exist_ok=True)
    report = {"date": time.strftime("%Y-%m-%d"), "machine": machine, "runs": args.runs, "results": results}
    (HERE / "results" / "save.json").write_text(json.dumps(report, indent=1))


if __name__ == "__main__":
    main()
