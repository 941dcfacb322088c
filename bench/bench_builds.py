"""Times load_pcd and save_pcd of two builds of tessarel against each other, alternating.

Each build is an interpreter with its own tessarel installed: by default this project's venv
(the machine-tuned build of `make run`) and a venv with make dist's wheel of the same
CPython, which this script makes. For the 5 million-point scans of each mix and encoding
(datasets.py), each build loads the file and saves the loaded cloud in a worker process of its
own, the two builds taking turns round after round, so that a machine whose load changes
meanwhile slows both alike. Prints, per case, the median times and their ratio, the
portable wheel over the machine's build (below 1: the wheel is faster).

    python bench/bench_builds.py [--wheel DIST_WHEEL] [--rounds 5]
"""

import argparse
import json
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

from datasets import ENCODINGS, MIXES, cloud_file

ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / ".cache" / "bench"
POINTS = 5_000_000

# Loads and saves one file `runs` times; prints the median seconds of each.
_WORKER = r"""
import json, statistics, sys, time, tessarel
path, encoding, target, runs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
loads, saves = [], []
for _ in range(runs):
    start = time.perf_counter()
    points, fields = tessarel.load_pcd(path)
    loads.append(time.perf_counter() - start)
    start = time.perf_counter()
    tessarel.save_pcd(target, points, fields, encoding=encoding)
    saves.append(time.perf_counter() - start)
print(json.dumps({"load": statistics.median(loads), "save": statistics.median(saves)}))
"""


def wheel_python(wheel: Path, folder: Path) -> str:
    subprocess.run([sys.executable, "-m", "venv", str(folder)], check=True)
    python = str(folder / "bin" / "python")
    subprocess.run([python, "-m", "pip", "install", "-q", "numpy", str(wheel)], check=True)
    return python


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--wheel", type=Path, help="make dist's wheel for this CPython (default: the one in dist/)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--runs", type=int, default=3, help="loads and saves a worker times, of which the median")
    arguments = parser.parse_args()
    tag = "cp%d%d" % sys.version_info[:2]
    wheel = arguments.wheel or next((ROOT / "dist").glob(f"tessarel-*-{tag}-*manylinux_2_17_x86_64.whl"))
    with tempfile.TemporaryDirectory() as scratch:
        builds = {"machine": sys.executable, "wheel": wheel_python(wheel, Path(scratch) / "venv")}
        target = str(Path(scratch) / "saved.pcd")
        print(f"{'mix':6} {'encoding':18} {'step':5} {'machine ms':>11} {'wheel ms':>9} {'ratio':>6}")
        for mix in MIXES.values():
            for encoding in ENCODINGS:
                path = str(cloud_file(CACHE, POINTS, mix, encoding))
                times = {build: {"load": [], "save": []} for build in builds}
                for _ in range(arguments.rounds):
                    for build, python in builds.items():
                        done = subprocess.run([python, "-c", _WORKER, path, encoding, target, str(arguments.runs)],
                                              capture_output=True, text=True, check=True)
                        for step, seconds in json.loads(done.stdout).items():
                            times[build][step].append(seconds)
                for step in ("load", "save"):
                    machine, portable = (statistics.median(times[build][step]) for build in builds)
                    print(f"{mix.name:6} {encoding:18} {step:5} {machine * 1e3:11.1f} {portable * 1e3:9.1f} "
                          f"{portable / machine:6.3f}", flush=True)


if __name__ == "__main__":
    main()
