"""Field selection and mapped loads: each gives what a whole load gives."""

import gc
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


SOURCES = {
    "file": lambda path, names: tessarel.load_pcd(path, names),
    "buffer": lambda path, names: tessarel.load_pcd_buffer(Path(path).read_bytes(), fields=iter(names)),
    "mapped": lambda path, names: tessarel.load_pcd(path, tuple(names), mmap=True),
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


BAD_CALLS = [
    (lambda path: tessarel.load_pcd(path, "intensity"), TypeError, "iterable of field names"),
    (lambda path: tessarel.load_pcd(path, [1]), TypeError, "field names must be str, not int"),
    (lambda path: tessarel.load_pcd(path, 5), TypeError, "not int"),
    (lambda path: tessarel.load_pcd(path, ["x", "intensity"]), KeyError,
     "field 'intensity' is not in the file, whose fields are x, y, z, t"),
    (lambda path: tessarel.load_pcd(path, ["rgb"], mmap=True), KeyError, "'rgb'"),
    (lambda path: tessarel.load_pcd(write(Path(path).with_suffix(".empty"), b""), mmap=True), RuntimeError,
     "Cannot map PCD file: .* the file is empty"),
    (lambda path: tessarel.load_pcd(Path(path).parent, mmap=True), RuntimeError, "Cannot open PCD file"),
]


@pytest.mark.parametrize(("call", "error", "message"), BAD_CALLS)
def test_bad_arguments(pcd_file, call, error, message):
    table = fields("x y z t")
    path = pcd_file(pcd_bytes(table, random_values(table, 3), "binary"))
    with pytest.raises(error, match=message):
        call(path)


# Past 4 GiB of records, sparse: only the pages touched take disk or memory.
BIG_POINTS = 300_000_000  # of 16 bytes: 4.8 GB


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
