"""binary_compressed loads of some fields: each selection keeps exactly the whole load's columns
of its fields, or fails with the whole load's error (compressed_selection_check.cpp)."""

import random
import struct
import subprocess

import numpy as np
import pytest

import dev_build
from damaged_files import MIXES, header_length, mutate, valid_file
from pcd_writer import column_major, compressed_block, fields, header, lzf_compress, pcd_bytes, random_values, write


def cloud(spec: str, points: int) -> bytes:
    table = fields(spec)
    return pcd_bytes(table, random_values(table, points, seed=points), "binary_compressed")


def padded(skip_padding: bool) -> bytes:
    table = fields("x y z _:U1x3 i:U1")
    body = compressed_block(column_major(table, random_values(table, 50, seed=3), skip_padding=skip_padding))
    return header(table, 50, "binary_compressed") + body


def stored_raw(spec: str, stored: bytes) -> bytes:
    points = len(stored) // sum(f.size * f.count for f in fields(spec))
    return header(fields(spec), points, "binary_compressed") + struct.pack("<II", len(stored), len(stored)) + stored


def cut_block(spec: str, points: int, cut: int) -> bytes:
    """A block whose LZF stream lacks its last `cut` bytes, with sizes that agree with it."""
    table = fields(spec)
    payload = column_major(table, random_values(table, points, seed=points))
    packed = lzf_compress(payload)[:-cut]
    return header(table, points, "binary_compressed") + struct.pack("<II", len(packed), len(payload)) + packed


def damaged(spec: str) -> list[bytes]:
    """Compressed data cut short anywhere, or with bytes changed, as the damaged-file tests make it."""
    content = valid_file(spec, "binary_compressed", points=200)
    start = header_length(content)
    rng = random.Random(spec)
    cuts = [content[:cut] for cut in range(start, len(content), 29)]
    return cuts + [mutate(content, list(range(start, len(content))), rng) for _ in range(60)]


TEN_FIELDS = "x y z rgb:U4 normal_x normal_y normal_z curvature label:U4 ring:U2"
PAYLOAD = np.arange(30, dtype=np.float32).tobytes()
LONGER = lzf_compress(PAYLOAD + bytes(12))
# Literal runs of 32 bytes (33 in, 32 out) and references to the byte before (2 in, 3 out):
# a valid stream exactly as long as what it decodes to.
EXACT_LZF = (bytes([31, *range(100, 132)]) + b"\x20\x00") * 12

# Files, and how their whole load ends: with columns, or with the error every selection repeats.
CASES = {
    "few-fields": ([cloud("x y z intensity", 1000)], "columns"),
    "every-type": ([cloud("i:U1 x:F8 y z ring:U2 n:F4x3 t:I8", 500)], "columns"),
    # About 300 KB decoded: the decoder's window moves many times.
    "ten-fields-many-windows": ([cloud(TEN_FIELDS, 8000)], "columns"),
    "empty-cloud": ([cloud("x y z intensity", 0), header(fields("x y z i"), 0, "binary_compressed")], "columns"),
    "padding-column": ([padded(False)], "columns"),
    "padding-left-out": ([padded(True)], "columns"),
    "stored-raw": ([stored_raw("x y z", PAYLOAD), stored_raw("x y z", EXACT_LZF)], "columns"),
    "stored-raw-many-windows": ([stored_raw("x y z i", np.random.default_rng(2).bytes(16 * 20_000))], "columns"),
    "decodes-longer": (
        [header(fields("x y z"), 10, "binary_compressed") + struct.pack("<II", len(LONGER), 120) + LONGER],
        "error: LZF decompression failed: block of 124 compressed bytes stopped at input byte 118, output byte 119 "
        "of 120 expected (an instruction writes past the expected size)",
    ),
    "cut-off-after-many-windows": ([cut_block(TEN_FIELDS, 8000, 5)], "error: LZF decompression failed: block of"),
    **{f"damaged-{spec}": (damaged(spec), None) for spec in MIXES},
}


@pytest.fixture(scope="module")
def check():
    return str(dev_build.target("compressed_selection_check"))


@pytest.mark.parametrize("contents, whole", CASES.values(), ids=CASES.keys())
def test_selections_keep_the_whole_loads_columns(tmp_path, check, contents, whole):
    paths = [write(tmp_path / f"{i}.pcd", content) for i, content in enumerate(contents)]
    done = subprocess.run([check, *paths], capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) == len(paths)
    for line in lines:
        loads, _, outcome = line.split(": ", 1)[1].partition(" loads agree: ")
        assert int(loads) >= 16, line
        assert whole is None or outcome.startswith(whole), line
