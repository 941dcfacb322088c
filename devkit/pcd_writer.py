"""Writes PCD files for the tests: any field table, any of the three encodings."""

from __future__ import annotations

import os
import struct
from dataclasses import dataclass
from pathlib import Path

import numpy as np

# The DATA values, one for each encoding.
ENCODINGS = ["ascii", "binary", "binary_compressed"]

DTYPES = {
    ("F", 4): np.float32, ("F", 8): np.float64,
    ("I", 1): np.int8, ("I", 2): np.int16, ("I", 4): np.int32, ("I", 8): np.int64,
    ("U", 1): np.uint8, ("U", 2): np.uint16, ("U", 4): np.uint32, ("U", 8): np.uint64,
}


@dataclass(frozen=True)
class Field:
    name: str
    type: str = "F"
    size: int = 4
    count: int = 1

    @property
    def dtype(self) -> np.dtype:
        return np.dtype(DTYPES[(self.type, self.size)]).newbyteorder("<")


def fields(spec: str) -> list[Field]:
    """'x y z i:U1 n:F4x3' -> fields; the default is F 4, COUNT 1."""
    out = []
    for token in spec.split():
        name, _, kind = token.partition(":")
        kind, _, count = kind.partition("x")
        out.append(Field(name, kind[:1] or "F", int(kind[1:] or 4), int(count or 1)))
    return out


def record_dtype(table: list[Field]) -> np.dtype:
    return np.dtype({
        "names": [f"f{i}" for i in range(len(table))],
        "formats": [(f.dtype, (f.count,)) if f.count != 1 else f.dtype for f in table],
    })


def random_values(table: list[Field], points: int, seed: int = 0) -> list[np.ndarray]:
    """Values covering each type's range, as arrays of shape (points,) or (points, count)."""
    rng = np.random.default_rng(seed)
    values = []
    for f in table:
        shape = (points,) if f.count == 1 else (points, f.count)
        if f.type == "F":
            v = (rng.standard_normal(shape) * 10.0 ** rng.integers(-3, 4, shape)).astype(f.dtype)
        else:
            info = np.iinfo(f.dtype)
            v = rng.integers(info.min, info.max, shape, dtype=f.dtype, endpoint=True)
        values.append(v)
    return values


def header(table: list[Field], points: int, data: str, extra: str = "") -> bytes:
    lines = [
        "# .PCD v0.7 - Point Cloud Data file format",
        "VERSION 0.7",
        "FIELDS " + " ".join(f.name for f in table),
        "SIZE " + " ".join(str(f.size) for f in table),
        "TYPE " + " ".join(f.type for f in table),
        "COUNT " + " ".join(str(f.count) for f in table),
        f"WIDTH {points}",
        "HEIGHT 1",
        "VIEWPOINT 0 0 0 1 0 0 0",
        f"POINTS {points}",
    ]
    return ("\n".join(lines) + "\n" + extra + f"DATA {data}\n").encode()


def binary_section(table: list[Field], values: list[np.ndarray]) -> bytes:
    records = np.zeros(len(values[0]) if values else 0, dtype=record_dtype(table))
    for i, v in enumerate(values):
        records[f"f{i}"] = v
    return records.tobytes()


def ascii_token(value) -> str:
    """Nine significant digits bring every float32 back exactly, seventeen every float64."""
    if isinstance(value, np.float32):
        return format(float(value), ".9g")
    if isinstance(value, np.floating):
        return repr(float(value))
    return str(value)


def ascii_section(table: list[Field], values: list[np.ndarray]) -> bytes:
    points = len(values[0]) if values else 0
    lines = []
    for p in range(points):
        tokens = []
        for v in values:
            tokens.extend(ascii_token(x) for x in np.atleast_1d(v[p]))
        lines.append(" ".join(tokens))
    return ("\n".join(lines) + "\n").encode() if lines else b""


def lzf_compress(data: bytes) -> bytes:
    """A plain LZF encoder: greedy back-references found through a table of 3-byte keys."""
    out, literal, last_seen = bytearray(), bytearray(), {}

    def flush_literal():
        for start in range(0, len(literal), 32):
            chunk = literal[start:start + 32]
            out.append(len(chunk) - 1)
            out.extend(chunk)
        literal.clear()

    i, n = 0, len(data)
    while i < n:
        if i + 2 < n:
            key = data[i:i + 3]
            j = last_seen.get(key)
            last_seen[key] = i
            if j is not None and i - j - 1 < 8192:
                length, longest = 3, min(264, n - i)
                while length < longest and data[j + length] == data[i + length]:
                    length += 1
                flush_literal()
                offset, code = i - j - 1, length - 2
                if code < 7:
                    out.append((code << 5) | (offset >> 8))
                else:
                    out.extend(((7 << 5) | (offset >> 8), code - 7))
                out.append(offset & 0xFF)
                i += length
                continue
        literal.append(data[i])
        i += 1
    flush_literal()
    return bytes(out)


def compressed_block(payload: bytes, compressed: bytes | None = None) -> bytes:
    packed = lzf_compress(payload) if compressed is None else compressed
    return struct.pack("<II", len(packed), len(payload)) + packed


def column_major(table: list[Field], values: list[np.ndarray], skip_padding: bool = False) -> bytes:
    return b"".join(
        np.ascontiguousarray(v, dtype=f.dtype).tobytes()
        for f, v in zip(table, values)
        if not (skip_padding and f.name == "_")
    )


def pcd_bytes(table: list[Field], values: list[np.ndarray], data: str = "binary") -> bytes:
    points = len(values[0]) if values else 0
    if data == "binary":
        body = binary_section(table, values)
    elif data == "ascii":
        body = ascii_section(table, values)
    else:
        body = compressed_block(column_major(table, values))
    return header(table, points, data) + body


def write(path: Path, content: bytes | str, size: int | None = None) -> str:
    """Writes `content`; given a `size`, the file then grows to it through a hole, which costs no disk."""
    Path(path).write_bytes(content.encode() if isinstance(content, str) else content)
    if size is not None:
        os.truncate(path, size)
    return str(path)
