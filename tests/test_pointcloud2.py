"""from_pointcloud2 and to_pointcloud2: messages laid out as ROS lays them out, read as load_pcd reads
the same cloud from a file, and back."""

from types import SimpleNamespace

import numpy as np
import pytest

import tessarel
from pcd_writer import Field, fields, pcd_bytes, random_values

DATATYPES = {("I", 1): 1, ("U", 1): 2, ("I", 2): 3, ("U", 2): 4, ("I", 4): 5, ("U", 4): 6, ("F", 4): 7, ("F", 8): 8}
SIZES = {datatype: size for (_, size), datatype in DATATYPES.items()}
EVERY_TYPE = "x y z a:I1 b:U1 c:I2 d:U2 e:I4 f:U4 g:F4 h:F8 m:U2x3 n:F8x2 o:I1x0"


def message(table: list[Field], values, *, height=1, padding=0, gap=0, big_endian=False, reverse=False):
    """A PointCloud2 of these fields with `padding` bytes before each field and after the last,
    `gap` bytes after each row, the fields in reverse order in the record when `reverse`; its
    data read-only and unaligned, as rosbags gives it."""
    offsets, at = [0] * len(table), 0
    for i in reversed(range(len(table))) if reverse else range(len(table)):
        offsets[i], at = at + padding, at + padding + table[i].size * table[i].count
    point_step = at + padding
    width = len(values[0]) // height if height else 0
    row_step = width * point_step + gap
    record = np.dtype({
        "names": [f"f{i}" for i in range(len(table))],
        "formats": [(f.dtype.newbyteorder(">" if big_endian else "<"), (f.count,)) for f in table],
        "offsets": offsets,
        "itemsize": point_step,
    })
    raw = np.zeros(1 + height * row_step, np.uint8)
    for row in range(height):
        start = 1 + row * row_step
        records = raw[start : start + width * point_step].view(record)
        for i, column in enumerate(values):
            records[f"f{i}"] = column[row * width : (row + 1) * width].reshape(width, table[i].count)
    return SimpleNamespace(
        height=height, width=width, is_bigendian=big_endian, point_step=point_step, row_step=row_step,
        fields=[SimpleNamespace(name=f.name, offset=o, datatype=DATATYPES[f.type, f.size], count=f.count)
                for f, o in zip(table, offsets)],
        data=np.frombuffer(raw.tobytes(), np.uint8)[1:],
    )  # fmt: skip


def from_dict(attributes: dict) -> SimpleNamespace:
    names = ("name", "offset", "datatype", "count")
    point_fields = [SimpleNamespace(**dict(zip(names, f))) for f in attributes["fields"]]
    return SimpleNamespace(**{**attributes, "fields": point_fields})


def assert_same_cloud(got, expected, *, ordered=True):
    (points, got_fields), (expected_points, expected_fields) = got, expected
    assert points.dtype == np.float32 and np.array_equal(points, expected_points)
    assert list(got_fields) == list(expected_fields) if ordered else got_fields.keys() == expected_fields.keys()
    for name, values in expected_fields.items():
        assert got_fields[name].dtype == values.dtype and np.array_equal(got_fields[name], values), name


CASES = {
    "every datatype": dict(spec=EVERY_TYPE),
    "PCL's padding": dict(spec="x y z intensity rgb:U4", padding=4),
    "organized, gaps after rows": dict(spec="x y z i:U1 n:F4x3", height=3, padding=1, gap=5),
    "big-endian": dict(spec=EVERY_TYPE, height=2, gap=3, big_endian=True),
    "coordinates not F4 in order": dict(spec="i:U2 z:F8 y:I2x2 x", reverse=True),
    "names twice, the later wins": dict(spec="x y z i:U1 i:F4 x:F8 y:F4x2"),
    "no points": dict(spec="x y z i:U1", points=0),
}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_a_message_reads_as_load_pcd_reads_its_cloud_and_round_trips(case, load):
    table = fields(case["spec"])
    values = random_values(table, case.get("points", 12))
    layout = {key: value for key, value in case.items() if key not in ("spec", "points")}
    got = tessarel.from_pointcloud2(message(table, values, **layout))
    expected = load(pcd_bytes(table, values))
    assert_same_cloud(got, expected)
    if case.get("height", 1) == 1 and not case.get("big_endian"):
        assert not any(a.flags.writeable for a in got[1].values() if a.size), "views over the read-only data"
    attributes = tessarel.to_pointcloud2(*expected, height=case.get("height", 1))
    packed = sum(SIZES[datatype] * count for _, _, datatype, count in attributes["fields"])
    assert attributes["point_step"] == packed and attributes["row_step"] == attributes["width"] * packed
    assert len(attributes["data"]) == attributes["height"] * attributes["row_step"]
    # x, y and z come first in the message, as in a saved file.
    assert_same_cloud(tessarel.from_pointcloud2(from_dict(attributes)), expected, ordered=False)


def damaged(change):
    """A message of x, y, z (F4 at 0, 4, 8) and i (U1 at 12) over 2 x 3 points, changed."""
    table = fields("x y z i:U1")
    good = message(table, random_values(table, 6), height=2, gap=2)
    change(good)
    return good


@pytest.mark.parametrize(
    ("change", "error", "match"),
    [
        (lambda m: setattr(m.fields[1], "offset", 2), ValueError,
         "fields 'x' .bytes 0 to 4. and 'y' .from byte 2. overlap"),
        (lambda m: setattr(m.fields[3], "offset", 13), ValueError,
         "'i': 1 bytes at offset 13 reach past the point_step of 13"),
        (lambda m: setattr(m.fields[3], "datatype", 9), ValueError, "'i': datatype 9 is unknown"),
        (lambda m: setattr(m, "data", m.data[:-3]), ValueError, "data holds 79 bytes; its 2 rows of 3 points need 80"),
        (lambda m: setattr(m, "row_step", 38), ValueError, "row_step of 38 bytes is less than width x point_step = 39"),
        (lambda m: setattr(m, "width", -1), ValueError, "width must be from 0 to 4294967295, not -1"),
        (lambda m: setattr(m, "height", 40), ValueError, "data holds 82 bytes; its 40 rows of 3 points need 1638"),
        (lambda m: m.fields.pop(2), ValueError, "no field 'z'"),
        (lambda m: setattr(m.fields[2], "count", 0), ValueError, "coordinate field 'z' has count 0"),
        (lambda m: setattr(m.fields[3], "name", "i\udcff"), ValueError,
         "'i\\\\udcff' is not text that UTF-8 can encode"),
        (lambda m: setattr(m, "fields", "xyz"), TypeError, "fields must be a sequence of PointField .*, not str"),
        (lambda m: setattr(m, "data", np.array([object()] * 82)), TypeError,
         "data holds Python objects .buffer format 'O'."),
        (lambda m: setattr(m, "data", np.repeat(np.frombuffer(m.data, np.uint8), 2)[::2]), ValueError,
         "^PointCloud2 data must be C-contiguous"),
    ],
)
def test_a_damaged_message_is_refused_before_anything_is_read(change, error, match):
    with pytest.raises(error, match=match):
        tessarel.from_pointcloud2(damaged(change))


POINTS = np.zeros((4, 3), np.float32)


@pytest.mark.parametrize(
    ("arguments", "error", "match"),
    [
        ((POINTS, {"stamp": np.zeros(4, np.int64)}), TypeError, "field 'stamp' has dtype int64, which PointCloud2"),
        ((POINTS, {"id": np.zeros((4, 2), np.uint64)}), TypeError, "field 'id' has dtype uint64"),
        ((POINTS, None, 3), ValueError, "WIDTH"),
        ((POINTS[:, :2], None), ValueError, r"points has shape \(4, 2\)"),
    ],
)
def test_what_a_message_cannot_hold_is_refused(arguments, error, match):
    points, fields_given, *height = arguments
    with pytest.raises(error, match=match):
        tessarel.to_pointcloud2(points, fields_given, height=height[0] if height else None)


@pytest.mark.parametrize(("nan_at", "dense"), [(None, True), ("intensity", True), ("z", False), ("x", False)])
def test_a_message_is_dense_without_a_nan_coordinate(nan_at, dense):
    points, intensity = np.ones((3, 3), np.float32), np.ones(3, np.float32)
    extra = {"x": np.array([1.0, np.nan, 2.0])} if nan_at == "x" else {}
    if nan_at == "z":
        points[2, 2] = np.nan
    if nan_at == "intensity":
        intensity[0] = np.nan
    assert tessarel.to_pointcloud2(points, {"intensity": intensity, **extra})["is_dense"] is dense
