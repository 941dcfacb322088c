"""Scan-like benchmark clouds, written once per encoding into the cache folder.

Values follow a spinning lidar: 64 rings fired at each azimuth step, millimetre-quantised
smooth ranges, runs of NaN where no return came back, small-integer intensities and labels.
So LZF compresses them about as it does real scans, where random floats would not compress.
"""

import argparse
import ctypes
import ctypes.util
from dataclasses import dataclass
from pathlib import Path

import numpy as np

RINGS = 64


@dataclass(frozen=True)
class Mix:
    name: str
    fields: tuple[tuple[str, str], ...]  # (name, NumPy type) in record order
    ascii_formats: tuple[str, ...]

    @property
    def dtype(self) -> np.dtype:
        return np.dtype([(name, "<" + kind) for name, kind in self.fields])


MIXES = {
    "xyzi": Mix("xyzi", (("x", "f4"), ("y", "f4"), ("z", "f4"), ("intensity", "f4")),
                ("%.3f", "%.3f", "%.3f", "%.0f")),
    "full": Mix(
        "full",
        (("x", "f4"), ("y", "f4"), ("z", "f4"), ("rgb", "u4"), ("normal_x", "f4"), ("normal_y", "f4"),
         ("normal_z", "f4"), ("curvature", "f4"), ("label", "u4"), ("ring", "u2")),
        ("%.3f", "%.3f", "%.3f", "%d", "%.6g", "%.6g", "%.6g", "%.4g", "%d", "%d"),
    ),
}
ENCODINGS = ("binary", "binary_compressed", "ascii")
PCD_TYPES = {"f": "F", "i": "I", "u": "U"}


def scan(points: int, mix: Mix, seed: int = 7) -> np.ndarray:
    rng = np.random.default_rng(seed)
    index = np.arange(points)
    ring = index % RINGS
    azimuth = (index // RINGS) * (2 * np.pi / 1800)
    elevation = np.radians(-25 + ring * (40 / RINGS))
    distance = 8 + 6 * np.sin(azimuth * 3) + 3 * np.cos(azimuth * 11 + ring / 9) + ring / 16
    distance = np.round(distance + rng.normal(0, 0.01, points), 3)
    # No return from the sky over some sectors, and from a few scattered beams.
    missing = ((ring > 44) & (np.sin(azimuth * 5) > 0.2)) | (rng.random(points) < 0.01)
    records = np.zeros(points, dtype=mix.dtype)
    records["x"] = np.round(distance * np.cos(elevation) * np.cos(azimuth), 3)
    records["y"] = np.round(distance * np.cos(elevation) * np.sin(azimuth), 3)
    records["z"] = np.round(distance * np.sin(elevation), 3)
    for axis in "xyz":
        records[axis][missing] = np.nan
    intensity = np.clip(255 - distance * 9 + rng.normal(0, 4, points), 0, 255).round()
    if "intensity" in records.dtype.names:
        records["intensity"] = intensity
    if "rgb" in records.dtype.names:
        grey = intensity.astype(np.uint32)
        records["rgb"] = 0xFF000000 | grey << 16 | grey << 8 | grey
        normal = np.stack([-np.cos(azimuth), -np.sin(azimuth), rng.normal(0, 0.05, points)], axis=1)
        normal /= np.linalg.norm(normal, axis=1, keepdims=True)
        records["normal_x"], records["normal_y"], records["normal_z"] = normal.T.astype(np.float32)
        records["curvature"] = np.round(np.abs(rng.normal(0, 0.01, points)), 4)
        records["label"] = np.where(ring < 20, 1, 3 + (np.sin(azimuth * 2) > 0))
        records["ring"] = ring
    return records


def header(mix: Mix, points: int, encoding: str) -> bytes:
    names = [name for name, _ in mix.fields]
    sizes = [kind[1:] for _, kind in mix.fields]
    types = [PCD_TYPES[kind[0]] for _, kind in mix.fields]
    return (
        f"# .PCD v0.7 - Point Cloud Data file format\nVERSION 0.7\nFIELDS {' '.join(names)}\n"
        f"SIZE {' '.join(sizes)}\nTYPE {' '.join(types)}\nCOUNT {' '.join('1' for _ in names)}\n"
        f"WIDTH {points}\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS {points}\nDATA {encoding}\n"
    ).encode()


def lzf_compress(data: bytes) -> bytes:
    lib = ctypes.CDLL(ctypes.util.find_library("lzf") or "liblzf.so.1")
    out = ctypes.create_string_buffer(len(data) + len(data) // 16 + 64)
    size = lib.lzf_compress(data, len(data), out, len(out))
    assert size > 0, "lzf_compress failed"
    return out.raw[:size]


def data_section(records: np.ndarray, mix: Mix, encoding: str) -> bytes:
    if encoding == "binary":
        return records.tobytes()
    if encoding == "binary_compressed":
        block = b"".join(np.ascontiguousarray(records[name]).tobytes() for name, _ in mix.fields)
        packed = lzf_compress(block)
        return np.array([len(packed), len(block)], "<u4").tobytes() + packed
    columns = [records[name] for name, _ in mix.fields]
    lines = []
    chunk = 200_000
    for start in range(0, len(records), chunk):
        rows = zip(*(column[start : start + chunk].tolist() for column in columns))
        line_format = " ".join(mix.ascii_formats)
        lines.append("".join(line_format % row + "\n" for row in rows))
    return "".join(lines).encode()


def cloud_file(folder: Path, points: int, mix: Mix, encoding: str, seed: int = 7) -> Path:
    """Another seed gives another file of the same kind and size: the same scan, other noise."""
    variant = "" if seed == 7 else f"_seed{seed}"
    path = folder / f"{mix.name}_{points}{variant}_{encoding}.pcd"
    if not path.exists():
        folder.mkdir(parents=True, exist_ok=True)
        print(f"writing {path.name} ...", flush=True)
        records = scan(points, mix, seed)
        partial = path.with_suffix(".part")
        partial.write_bytes(header(mix, points, encoding) + data_section(records, mix, encoding))
        partial.rename(path)
    return path


def data_offset(path: Path) -> int:
    head = path.open("rb").read(4096)
    line = head.index(b"\nDATA ") + 1
    return line + head[line:].index(b"\n") + 1


def cloud_arguments(description: str, sizes: tuple[int, ...]) -> argparse.ArgumentParser:
    """A benchmark's command line: which clouds to run on, and how many runs of each."""
    parser = argparse.ArgumentParser(description=description, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--sizes", type=int, nargs="+", default=list(sizes))
    parser.add_argument("--encodings", nargs="+", default=list(ENCODINGS), choices=ENCODINGS)
    parser.add_argument("--mixes", nargs="+", default=list(MIXES), choices=list(MIXES))
    return parser
