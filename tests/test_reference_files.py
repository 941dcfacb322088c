"""Files written by PCL, the format's reference implementation, against their known values."""

import hashlib
import json
import mmap

import numpy as np
import pytest
from conftest import DATA

import tessarel
from pcd_writer import ENCODINGS

CLOUDS = ["xyzi_organized", "xyzrgbnormal", "alltypes"]
MANIFEST = json.loads((DATA / "pcl-repo" / "manifest.json").read_text())


def raw_values(cloud: str, name: str, like: np.ndarray) -> np.ndarray:
    return np.fromfile(DATA / "pcl" / cloud / f"{name}.raw", dtype=like.dtype).reshape(like.shape)


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("cloud", CLOUDS)
def test_pcl_clouds_match_their_raw_values(cloud, encoding):
    points, extra = tessarel.load_pcd(str(DATA / "pcl" / cloud / f"cloud_{encoding}.pcd"))
    for column, name in enumerate("xyz"):
        np.testing.assert_array_equal(points[:, column], raw_values(cloud, name, points[:, column]))
    expected_names = sorted(p.stem for p in (DATA / "pcl" / cloud).glob("*.raw") if p.stem not in "xyz")
    assert sorted(extra) == expected_names
    for name, array in extra.items():
        expected = raw_values(cloud, name, array)
        if encoding == "ascii" and array.dtype == np.float64:
            # PCL writes nine significant digits, which is exact for float32 only.
            expected = np.array([float(f"{v:.9g}") for v in expected])
        np.testing.assert_array_equal(array, expected)


def test_alltypes_extremes():
    _, extra = tessarel.load_pcd(str(DATA / "pcl" / "alltypes" / "cloud_ascii.pcd"))
    assert extra["i64"][0] == np.iinfo(np.int64).min
    assert extra["u64"][0] == np.iinfo(np.uint64).max


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_cloud_without_coordinates(encoding):
    with pytest.raises(RuntimeError, match="^PCD must contain x, y, z fields$"):
        tessarel.load_pcd(str(DATA / "pcl" / "fpfh_no_xyz" / f"cloud_{encoding}.pcd"))


def digest(array: np.ndarray) -> str:
    return hashlib.sha256(np.ascontiguousarray(array).tobytes()).hexdigest()


@pytest.mark.parametrize("name", sorted(MANIFEST))
def test_pcl_repository_files_match_pcl(name):
    expected = MANIFEST[name]
    path = str(DATA / "pcl-repo" / name)
    if "error" in expected:
        with pytest.raises(RuntimeError, match=f"^{expected['error']}$"):
            tessarel.load_pcd(path)
        return
    points, extra = tessarel.load_pcd(path)
    assert points.shape == (expected["points"], 3)
    assert digest(points) == expected["points_sha256"]
    for field, facts in expected["fields"].items():
        if field not in "xyz":
            assert digest(extra[field]) == facts["sha256"], field


XYZ = [("x", "F", 4, 1), ("y", "F", 4, 1), ("z", "F", 4, 1)]
ORGANIZED = {"version": "0.7", "fields": [*XYZ, ("intensity", "F", 4, 1)], "width": 40, "height": 12, "points": 480,
             "viewpoint": (0, 0, 0, 1, 0, 0, 0)}
HEADERS = {
    **{f"pcl/xyzi_organized/cloud_{encoding}.pcd": {**ORGANIZED, "data": encoding} for encoding in ENCODINGS},
    "pcl-repo/pcl_logo.pcd": {"version": "0.7", "fields": [*XYZ, ("rgb", "F", 4, 1)], "width": 12909, "height": 1,
                              "points": 12909, "viewpoint": (0, 0, -2, 0, 1, 0, 0), "data": "binary_compressed"},
    "pcl-repo/bun01.pcd": {"version": ".5", "fields": XYZ, "width": 200, "height": 1, "points": 200,
                           "viewpoint": (0, 0, 0, 1, 0, 0, 0), "data": "ascii"},
}


@pytest.mark.parametrize("name", HEADERS)
def test_load_pcd_header(name):
    path = str(DATA / name)
    header = tessarel.load_pcd_header(path)
    assert header == HEADERS[name]
    points, _ = tessarel.load_pcd(path)
    organized = points.reshape(header["height"], header["width"], 3)
    np.testing.assert_array_equal(organized[-1, -1], points[-1])


def outcome(load, source):
    """What a load gives, comparable bit for bit: the arrays' dtypes, shapes and bytes, or the error."""
    try:
        points, extra = load(source)
    except Exception as error:
        return type(error), str(error)
    return [(name, a.dtype.str, a.shape, a.tobytes()) for name, a in [("", points), *extra.items()]]


def from_mmap(path):
    with open(path, "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        return tessarel.load_pcd_buffer(mapped)


# Every file of the suite's data, PCD or not, through each source: the same arrays or the same error.
@pytest.mark.parametrize("path", sorted(p for p in DATA.rglob("*") if p.is_file()), ids=lambda p: p.name)
def test_every_source_gives_the_same_result(path):
    expected = outcome(tessarel.load_pcd, str(path))
    assert outcome(tessarel.load_pcd, path) == expected
    assert outcome(tessarel.load_pcd_buffer, path.read_bytes()) == expected
    assert outcome(tessarel.load_pcd_buffer, np.frombuffer(path.read_bytes(), np.uint8)) == expected
    if path.stat().st_size:
        assert outcome(from_mmap, path) == expected
