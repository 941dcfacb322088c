"""Field selection, mapped loads and chunk iteration: each gives what a whole load gives."""

import gc
import os
import subprocess
import sys
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

import tessarel
from pcd_writer import ENCODINGS, fields, header, pcd_bytes, random_values, write

# x, y, z as float32 in a row; and coordinates of other types, apart, with a padding field.
XYZ, APART = "x y z i:U1 n:F4x3 d:F8", "a:U2 x:F8 _:U1x3 y z:I4 b:I2x2"
SELECTIONS = [
    (XYZ, []), (XYZ, ["i"]), (XYZ, ["n", "x"]), (XYZ, ["d", "d", "n"]),
    (APART, []), (APART, ["a"]), (APART, ["x", "z", "b"]), (APART, ["_"]), (APART, ["y"]),
]


def whole_restricted(path, names):
    points, loaded = tessarel.load_pcd(path)
    return points, {name: array for name, array in loaded.items() if name in names}


def chunks_of(path, chunk_points, names=None):
    with tessarel.iter_pcd(path, chunk_points, fields=names) as chunks:
        return list(chunks)


def joined(pairs):
    return np.concatenate([p for p, _ in pairs]), {k: np.concatenate([f[k] for _, f in pairs]) for k in pairs[0][1]}


SOURCES = {
    "file": lambda path, names: tessarel.load_pcd(path, names),
    "buffer": lambda path, names: tessarel.load_pcd_buffer(Path(path).read_bytes(), fields=iter(names)),
    "mapped": lambda path, names: tessarel.load_pcd(path, tuple(names), mmap=True),
    "chunks": lambda path, names: joined(chunks_of(path, 7, names)),
}


@pytest.mark.parametrize("source", SOURCES)
@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize(("spec", "names"), SELECTIONS)
def test_a_selection_is_the_whole_load_restricted(pcd_file, spec, names, encoding, source):
    table = fields(spec)
    path = pcd_file(pcd_bytes(table, random_values(table, 30, seed=len(names)), encoding))
    points, loaded = SOURCES[source](path, names)
    expected_points, expected = whole_restricted(path, names)
    np.testing.assert_array_equal(points, expected_points)
    assert points.dtype == np.float32
    assert loaded.keys() == expected.keys()
    for name, array in expected.items():
        assert loaded[name].dtype == array.dtype
        np.testing.assert_array_equal(loaded[name], array)


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("chunk_points", [1, 7, 19, 20, 21])
def test_chunks_split_the_cloud_in_file_order(pcd_file, encoding, chunk_points):
    table = fields("x y z t:U2 n:F8x2")
    path = pcd_file(pcd_bytes(table, random_values(table, 20), encoding))
    pairs = chunks_of(path, chunk_points)  # all held at once: each outlives the iterator's moves
    sizes = [len(points) for points, _ in pairs]
    assert sizes[:-1] == [chunk_points] * (len(sizes) - 1) and 0 < sizes[-1] <= chunk_points
    points, loaded = joined(pairs)
    expected_points, expected = tessarel.load_pcd(path)
    np.testing.assert_array_equal(points, expected_points)
    assert loaded.keys() == expected.keys()
    for name, array in expected.items():
        np.testing.assert_array_equal(loaded[name], array)


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_an_empty_cloud_yields_no_chunk_but_its_header(pcd_file, encoding):
    path = pcd_file(pcd_bytes(fields("x y z"), [np.zeros(0, np.float32)] * 3, encoding))
    with tessarel.iter_pcd(path) as chunks:
        chunks.header["points"] = 5  # the caller's own dict
        assert chunks.header == tessarel.load_pcd_header(path)
        assert list(chunks) == []


def ascii_cloud(table, lines: list[str], points: int = 20) -> bytes:
    return header(table, points, "ascii") + "".join(line + "\n" for line in lines).encode()


XYZT = fields("x y z t:U2")
# Each breaks at point 12, in the third chunk of 5.
BROKEN = {
    "binary-truncated": lambda: pcd_bytes(XYZT, random_values(XYZT, 20), "binary")[: -14 * 7 + 5],
    "ascii-bad-token": lambda: ascii_cloud(XYZT, ["1 2 3 4"] * 12 + ["1 2 3 nope"] + ["1 2 3 4"] * 7),
    "ascii-ended-early": lambda: ascii_cloud(XYZT, ["1 2 3 4"] * 12 + ["1 2"]),
}


@pytest.mark.parametrize("broken", BROKEN)
def test_an_error_is_raised_at_its_chunk_with_the_whole_loads_message(pcd_file, broken):
    path = pcd_file(BROKEN[broken]())
    with pytest.raises(RuntimeError) as whole:
        tessarel.load_pcd(path)
    with pytest.raises(RuntimeError, match=f"^{whole.value}$"):
        tessarel.load_pcd(path, mmap=True)
    chunks = tessarel.iter_pcd(path, 5)
    assert [len(points) for points, _ in [next(chunks), next(chunks)]] == [5, 5]
    with pytest.raises(RuntimeError) as chunk:
        next(chunks)
    assert str(chunk.value) == str(whole.value)
    with pytest.raises(RuntimeError, match="^iter_pcd: the iteration ended at chunk 2, which raised RuntimeError: "):
        next(chunks)


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


ENDINGS = {
    "exhausted": lambda chunks: list(chunks),
    "with block": lambda chunks: chunks.__exit__(None, None, None),
    "close": lambda chunks: chunks.close(),
    "collected": lambda chunks: None,
}


@pytest.mark.parametrize("ending", ENDINGS)
def test_the_iterator_closes_its_file(pcd_file, ending):
    table = fields("x y z")
    path = pcd_file(pcd_bytes(table, random_values(table, 10), "binary"))
    before = open_descriptors()
    chunks = tessarel.iter_pcd(path, 3)
    next(chunks)
    assert open_descriptors() == before + 1
    ENDINGS[ending](chunks)
    if ending == "collected":
        del chunks
        gc.collect()
    else:
        assert list(chunks) == []
    assert open_descriptors() == before


BAD_CALLS = [
    (lambda path: tessarel.load_pcd(path, "intensity"), TypeError, "iterable of field names"),
    (lambda path: tessarel.load_pcd(path, [1]), TypeError, "field names must be str, not int"),
    (lambda path: tessarel.load_pcd(path, 5), TypeError, "not int"),
    (lambda path: tessarel.iter_pcd(path, fields="x"), TypeError, "iterable of field names"),
    (lambda path: tessarel.load_pcd(path, ["x", "intensity"]), KeyError,
     "field 'intensity' is not in the file, whose fields are x, y, z, t"),
    (lambda path: tessarel.load_pcd(path, ["rgb"], mmap=True), KeyError, "'rgb'"),
    (lambda path: tessarel.iter_pcd(path, fields=["rgb"]), KeyError, "'rgb'"),
    (lambda path: tessarel.iter_pcd(path, 0), ValueError, "chunk_points must be 1 or more, not 0"),
    (lambda path: tessarel.iter_pcd(path, -2**70), ValueError, "chunk_points must be 1 or more, not -1180591620717"),
    (lambda path: tessarel.iter_pcd(path, 2**63), ValueError,
     "chunk_points must be at most 9223372036854775807, not 9223372036854775808"),
    (lambda path: tessarel.iter_pcd(path, np.float32(3.5)), TypeError, "chunk_points must be an integer, not float32"),
    (lambda path: tessarel.iter_pcd(path, Fraction(7, 2)), TypeError, "must be an integer, not Fraction"),
    (lambda path: tessarel.iter_pcd(path, Decimal("3.9")), TypeError, "must be an integer, not Decimal"),
    (lambda path: tessarel.load_pcd(path, b"label"), TypeError, "iterable of field names.*, not bytes"),
    (lambda path: tessarel.load_pcd(path, RaisingIter()), ZeroDivisionError, "its own"),
    (lambda path: tessarel.load_pcd("/proc/self/environ", mmap=True), RuntimeError,
     "^Cannot map PCD file: /proc/self/environ: the system gives it no size, as for files in /proc"),
    (lambda path: tessarel.load_pcd(write(Path(path).with_suffix(".empty"), b""), mmap=True), RuntimeError,
     "Cannot map PCD file: .* the file is empty"),
    (lambda path: tessarel.load_pcd(Path(path).parent, mmap=True), RuntimeError, "Cannot open PCD file"),
]


class RaisingIter:
    def __iter__(self):
        raise ZeroDivisionError("its own")


@pytest.mark.parametrize(("call", "error", "message"), BAD_CALLS)
def test_bad_arguments(pcd_file, call, error, message):
    table = fields("x y z t")
    path = pcd_file(pcd_bytes(table, random_values(table, 3), "binary"))
    with pytest.raises(error, match=message):
        call(path)


# Another process cuts the file short while it is loaded with mmap=True: ascii and
# binary_compressed are read in pieces, as without it, so the load fails with an error; a
# mapping would die of SIGBUS.
_CUTTING_CHILD = r"""
import os, sys, threading, time
import numpy as np
import tessarel

path, encoding = sys.argv[1:]
tessarel.save_pcd(path, np.random.default_rng(2).standard_normal((1_000_000, 3)).astype(np.float32),
                  encoding=encoding)
whole = open(path, "rb").read()
for delay in np.linspace(0, 0.03, 12):
    with open(path, "wb") as rewritten:
        rewritten.write(whole)
    cut = threading.Timer(delay, os.truncate, (path, 200))
    cut.start()
    try:
        tessarel.load_pcd(path, mmap=True)
    except RuntimeError as error:
        print(error)
    cut.join()
"""


@pytest.mark.parametrize("encoding", ["ascii", "binary_compressed"])
def test_a_file_cut_during_a_mapped_load_fails_without_a_signal(tmp_path, encoding):
    child = subprocess.run([sys.executable, "-c", _CUTTING_CHILD, str(tmp_path / "cut.pcd"), encoding],
                           capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr[-3000:]


# Past 4 GiB of records, sparse: only the pages touched take disk or memory.
BIG_POINTS = 300_000_000  # of 16 bytes: 4.8 GB
# A 32-bit build refuses such a map, whatever the way it is read.
REFUSED = sys.maxsize < 2**32


@pytest.fixture
def big_map(tmp_path):
    table = fields("x y z intensity")
    head = header(table, BIG_POINTS, "binary")
    ends = random_values(table, 4, seed=3)
    path = tmp_path / "map.pcd"
    with open(path, "wb") as out:
        out.write(head + pcd_bytes(table, [v[:2] for v in ends], "binary")[len(header(table, 2, "binary")):])
        out.truncate(len(head) + 16 * BIG_POINTS)
        out.seek(len(head) + 16 * (BIG_POINTS - 2))
        out.write(pcd_bytes(table, [v[2:] for v in ends], "binary")[len(header(table, 2, "binary")):])
    return str(path), np.stack(ends[:3], axis=1), ends[3]


def test_a_map_past_4_gib_is_mapped_in_place(big_map):
    path, points_at_ends, intensity_at_ends = big_map
    if REFUSED:
        with pytest.raises(RuntimeError, match="4800000196 bytes do not fit this build's memory"):
            tessarel.load_pcd(path, mmap=True)
        return
    points, loaded = tessarel.load_pcd(path, mmap=True)
    assert points.shape == (BIG_POINTS, 3) and loaded["intensity"].shape == (BIG_POINTS,)
    assert np.may_share_memory(points, loaded["intensity"])  # views of the mapping, not copies
    np.testing.assert_array_equal(points[[0, 1, -2, -1]], points_at_ends)
    np.testing.assert_array_equal(loaded["intensity"][[0, 1, -2, -1]], intensity_at_ends)
    points[-1] = 7  # writable, and private: the file keeps its bytes
    del points, loaded
    gc.collect()
    again, _ = tessarel.load_pcd(path, mmap=True)
    np.testing.assert_array_equal(again[-1], points_at_ends[-1])


def test_a_map_past_4_gib_is_read_in_chunks(big_map):
    path, points_at_ends, _ = big_map
    if REFUSED:
        with pytest.raises(RuntimeError, match="^PCD data too large: POINTS 300000000 "):
            tessarel.iter_pcd(path, 1_000_000, fields=["x", "y", "z"])
        return
    with tessarel.iter_pcd(path, 1_000_000, fields=["x", "y", "z"]) as chunks:
        assert chunks.header["points"] == BIG_POINTS
        points, loaded = next(chunks)
        second, _ = next(chunks)
    assert points.shape == second.shape == (1_000_000, 3) and loaded == {}
    np.testing.assert_array_equal(points[:2], points_at_ends[:2])
