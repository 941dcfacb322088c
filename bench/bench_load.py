"""Times tessarel.load_pcd against the other PCD loaders for Python and the hardware floors.

For clouds of 100 thousand and 5 million points, two field mixes and each encoding, in one run:
every loader that imports (tessarel, pypcd4, open3d, open3d.t, pcd-py) and the floor of the
encoding: numpy.fromfile on the binary data section, a C++ loop that only runs lzf_decompress
on the compressed block, a C++ loop that only parses the ASCII tokens with fast_float.
A loader whose values differ from tessarel's on a file is reported, not timed. Then the same
for the real binary_compressed scans in real/, written by PCL (depth-camera frames of 307,200
points), with more runs each: their times are short.

Writes results/bench.json and results/bench.png beside this script. With --memory, also
measures each loader's peak resident memory on the 5-million-point files, one child process
per measurement.
"""

import functools
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import datasets
import peers
from timing import median_seconds

sys.path.insert(0, str(Path(__file__).parent.parent / "devkit"))
import dev_build  # noqa: E402

HERE = Path(__file__).parent
ROOT = HERE.parent
CACHE = ROOT / ".cache" / "bench"
RESULTS = HERE / "results"
SIZES = (100_000, 5_000_000)
REAL_FILES = sorted((HERE / "real").glob("*.pcd"))
FLOOR_NAMES = {"binary": "numpy.fromfile", "binary_compressed": "lzf floor", "ascii": "fast_float floor"}


def floor_seconds(path: Path, mix: datasets.Mix, encoding: str, runs: int) -> float:
    floors = dev_build.target("floors")
    if encoding == "binary":
        offset = datasets.data_offset(path)
        return median_seconds(lambda: np.fromfile(path, dtype=mix.dtype, offset=offset), runs)
    if encoding == "binary_compressed":
        command = [str(floors), "lzf", str(path), str(runs)]
    else:
        types = "".join("F" if kind[0] == "f" else "U" for _, kind in mix.fields)
        command = [str(floors), "ascii", str(path), types, str(runs)]
    return float(subprocess.run(command, check=True, capture_output=True, text=True).stdout)


def bench_file(path: Path, mix: datasets.Mix | None, encoding: str, loaders, runs: int) -> dict:
    expected = loaders[0].arrays(loaders[0].load(str(path)))
    row = {"file": path.name, "times": {}, "differs": {}, "failed": {}}
    for loader in loaders:
        try:
            problems = peers.differences(expected, loader.arrays(loader.load(str(path))))
        except Exception as error:
            row["failed"][loader.name] = f"{type(error).__name__}: {error}"[:200]
            continue
        if problems:
            row["differs"][loader.name] = problems[:3]
            continue
        row["times"][loader.name] = median_seconds(functools.partial(loader.load, str(path)), runs)
    row["times"][FLOOR_NAMES[encoding]] = floor_seconds(path, mix, encoding, runs)
    return row


def print_row(label: str, row: dict) -> None:
    ours = row["times"]["tessarel"]
    cells = [f"{name} {seconds * 1e3:.1f} ms ({seconds / ours:.2f})" for name, seconds in row["times"].items()]
    cells += [f"{name}: differs" for name in row["differs"]] + [f"{name}: failed" for name in row["failed"]]
    print(f"{label:<30} " + " | ".join(cells), flush=True)


def markdown_table(rows: dict[str, dict]) -> str:
    names = list(
        dict.fromkeys(name for row in rows.values() for name in [*row["times"], *row["differs"], *row["failed"]])
    )
    lines = ["| data set | " + " | ".join(names) + " |", "|---" * (len(names) + 1) + "|"]
    for label, row in rows.items():
        ours = row["times"]["tessarel"]
        cells = []
        for name in names:
            if name in row["times"]:
                seconds = row["times"][name]
                cells.append(f"{seconds * 1e3:.1f} ms" + ("" if name == "tessarel" else f" ({seconds / ours:.2f}×)"))
            else:
                cells.append("differs" if name in row["differs"] else "fails" if name in row["failed"] else "")
        lines.append(f"| {label} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def bar_chart(rows: dict[str, dict], out: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = list(dict.fromkeys(name for row in rows.values() for name in row["times"]))
    figure, axes = plt.subplots(figsize=(14, 6), dpi=100)
    width = 0.8 / len(names)
    for i, name in enumerate(names):
        xs = [j + i * width for j, row in enumerate(rows.values()) if name in row["times"]]
        ys = [row["times"][name] * 1e3 for row in rows.values() if name in row["times"]]
        axes.bar(xs, ys, width, label=name)
    axes.set_xticks([j + 0.4 - width / 2 for j in range(len(rows))], list(rows), rotation=35, ha="right", fontsize=8)
    axes.set(yscale="log", ylabel="median load time (ms, log scale)", title="PCD loading, lower is better")
    axes.legend(fontsize=8)
    figure.savefig(out, bbox_inches="tight")


MEMORY_CHILD = r"""
import sys
sys.path.insert(0, sys.argv[1])
import gc, peers
loader = peers.FACTORIES[sys.argv[2]]()
loader.load(sys.argv[4])  # a small file of the same kind: one-time setup is not the load's
gc.collect()
with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")  # the peak so far becomes the current resident size
def status(key):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) * 1024 for line in lines if line.startswith(key))
base = status("VmRSS:")
result = loader.load(sys.argv[3])
print(status("VmHWM:") - base)
"""


def peak_memory(loader: str, path: Path, warm_up: Path) -> int | None:
    command = [sys.executable, "-c", MEMORY_CHILD, str(HERE), loader, str(path), str(warm_up)]
    child = subprocess.run(command, capture_output=True, text=True)
    return int(child.stdout) if child.returncode == 0 else None


def measure_memory(files: dict[str, tuple[Path, datasets.Mix, str]], names: list[str], warm_up: int) -> dict:
    results = {}
    for label, (path, mix, encoding) in files.items():
        points = int(label.split()[0].replace(",", ""))
        arrays = points * mix.dtype.itemsize
        # What a load reads besides the arrays: the text, or the compressed block.
        data = path.stat().st_size - datasets.data_offset(path) if encoding != "binary" else 0
        small = datasets.cloud_file(CACHE, warm_up, mix, encoding)
        peaks = {name: peak_memory(name, path, small) for name in names}
        results[label] = {"arrays": arrays, "data": data, "peaks": peaks}
        cells = [f"{n} {p / 2**20:.0f} MB ({p / arrays:.2f}×)" for n, p in peaks.items() if p is not None]
        print(
            f"{label:<30} arrays {arrays / 2**20:.0f} MB, data {data / 2**20:.0f} MB | " + " | ".join(cells), flush=True
        )
    return results


def main() -> None:
    parser = datasets.cloud_arguments(__doc__, SIZES)
    parser.add_argument("--memory", action="store_true", help="also measure peak memory on the largest files")
    parser.add_argument("--only", nargs="+", help="time only these loaders (tessarel always)")
    parser.add_argument("--no-real", action="store_true", help="leave out the real scans in real/")
    args = parser.parse_args()

    loaders, missing = peers.available()
    if args.only:
        loaders = [loader for loader in loaders if loader.name == "tessarel" or loader.name in args.only]
    machine = f"{platform.machine()}, {os.cpu_count()} cores, Linux {platform.release()}"
    print(f"{time.strftime('%Y-%m-%d')}, {machine}, Python {platform.python_version()}, NumPy {np.__version__}")
    for name, reason in missing.items():
        print(f"{name}: not measured ({reason})")

    rows, files = {}, {}
    for points in args.sizes:
        for mix_name in args.mixes:
            mix = datasets.MIXES[mix_name]
            for encoding in args.encodings:
                path = datasets.cloud_file(CACHE, points, mix, encoding)
                label = f"{points:,} {mix.name} {encoding}"
                runs = args.runs if points >= 1_000_000 else args.runs * 3
                rows[label] = bench_file(path, mix, encoding, loaders, runs)
                files[label] = (path, mix, encoding)
                print_row(label, rows[label])
    if not args.no_real and "binary_compressed" in args.encodings:
        for path in REAL_FILES:
            rows[path.stem] = bench_file(path, None, "binary_compressed", loaders, args.runs * 9)
            print_row(path.stem, rows[path.stem])
    print()
    print(markdown_table(rows))
    for label, row in rows.items():
        for name, problems in row["differs"].items():
            print(f"{label}: {name} differs: {'; '.join(problems)}")
        for name, error in row["failed"].items():
            print(f"{label}: {name} failed: {error}")

    report = {"date": time.strftime("%Y-%m-%d"), "machine": machine, "python": platform.python_version(),
              "missing": missing, "rows": rows}
    if args.memory:
        largest = max(args.sizes)
        print("\npeak resident memory over the interpreter's, and its ratio to the arrays' size")
        large = {label: f for label, f in files.items() if label.startswith(f"{largest:,} ")}
        report["memory"] = measure_memory(large, [loader.name for loader in loaders], SIZES[0])
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "bench.json").write_text(json.dumps(report, indent=1))
    bar_chart(rows, RESULTS / "bench.png")
    print(f"\nwrote {RESULTS / 'bench.json'} and {RESULTS / 'bench.png'}")


if __name__ == "__main__":
    main()
