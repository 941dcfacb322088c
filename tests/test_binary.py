"""Binary data sections and the arrays built over them."""

import gc
import sys

import numpy as np
import pytest

from pcd_writer import DTYPES, binary_section, fields, header, pcd_bytes, random_values

TYPE_PAIRS = sorted(DTYPES)


@pytest.mark.parametrize("type_, size", TYPE_PAIRS, ids=lambda v: str(v))
def test_every_element_type_gives_its_dtype(load, type_, size):
    table = fields(f"x y z v:{type_}{size} w:{type_}{size}x2")
    values = random_values(table, 7, seed=size)
    points, extra = load(pcd_bytes(table, values))
    assert extra["v"].dtype == np.dtype(DTYPES[(type_, size)])
    np.testing.assert_array_equal(extra["v"], values[3])
    np.testing.assert_array_equal(extra["w"], values[4])
    np.testing.assert_array_equal(points, np.stack(values[:3], axis=1))


@pytest.mark.parametrize("kind", ["F2", "F1", "I16", "U3", "X4", "I0", "f2"])
def test_unsupported_types_are_refused(load, kind):
    table = fields("x y z") + fields("v:F4")
    content = pcd_bytes(table, random_values(table, 2)).replace(b"TYPE F F F F", b"TYPE F F F " + kind[:1].encode())
    content = content.replace(b"SIZE 4 4 4 4", b"SIZE 4 4 4 " + kind[1:].encode())
    message = f"^Unsupported PCD type/size: field 'v' has TYPE {kind[0]} SIZE {kind[1:]}$"
    with pytest.raises(RuntimeError, match=message):
        load(content + bytes(64))


def test_views_share_one_buffer(load):
    table = fields("x y z intensity ring:U2 normal:F4x3")
    values = random_values(table, 11)
    points, extra = load(pcd_bytes(table, values))
    step = 4 * 4 + 2 + 12
    assert points.shape == (11, 3) and points.strides == (step, 4) and points.dtype == np.float32
    assert extra["intensity"].strides == (step,)
    assert extra["normal"].shape == (11, 3) and extra["normal"].strides == (step, 4)
    bases = {id(a.base) for a in [points, *extra.values()]}
    assert len(bases) == 1 and type(points.base).__name__ == "PyCapsule"
    assert all(a.flags.writeable and not a.flags.owndata for a in [points, *extra.values()])
    extra["intensity"][0] = 42.0
    points[0, 0] = -1.0
    assert np.shares_memory(points, extra["intensity"]) is False
    assert extra["intensity"][0] == 42.0 and points[0, 0] == -1.0


def test_buffer_lives_as_long_as_any_array(load):
    table = fields("x y z a:U4")
    values = random_values(table, 1000)
    points, extra = load(pcd_bytes(table, values))
    capsule = points.base
    keep = extra["a"]
    refs = sys.getrefcount(capsule)
    del points, extra
    gc.collect()
    assert sys.getrefcount(capsule) == refs - 1
    np.testing.assert_array_equal(keep, values[3])
    view = keep[::2]
    del keep
    np.testing.assert_array_equal(view, values[3][::2])


def test_reloading_reads_the_file_again(pcd_file):
    import tessarel

    table = fields("x y z")
    path = pcd_file(pcd_bytes(table, random_values(table, 3)))
    first, _ = tessarel.load_pcd(path)
    first[:] = 0
    second, _ = tessarel.load_pcd(path)
    assert not np.array_equal(first, second)


@pytest.mark.parametrize("points", [0, 1, 257])
def test_point_counts(load, points):
    table = fields("x y z a:I2 b:F8x2")
    values = random_values(table, points)
    xyz, extra = load(pcd_bytes(table, values))
    assert xyz.shape == (points, 3) and extra["a"].shape == (points,) and extra["b"].shape == (points, 2)
    np.testing.assert_array_equal(extra["b"], values[4])


def test_count_zero_field_is_empty_per_point(load):
    table = fields("x y z")
    content = header(fields("x y z e"), 2, "binary").replace(b"COUNT 1 1 1 1", b"COUNT 1 1 1 0")
    _, extra = load(content + binary_section(table, random_values(table, 2)))
    assert extra["e"].shape == (2, 0)


class TestCoordinates:
    def test_zero_copy_when_packed_float32(self, load):
        table = fields("a:U1 x y z")
        values = random_values(table, 5)
        points, extra = load(pcd_bytes(table, values))
        assert points.base is extra["a"].base
        np.testing.assert_array_equal(points, np.stack(values[1:], axis=1))

    @pytest.mark.parametrize(
        "spec",
        ["x:F8 y:F8 z:F8", "x:I2 y:U1 z:I8", "z y x", "x a:U1 y z", "x y z x", "x y:F8 z", "xyz_pad:U1 x:F8 y z:U4"],
    )
    def test_converted_when_not_packed(self, load, spec):
        table = fields(spec)
        values = random_values(table, 9)
        by_name = {f.name: v for f, v in zip(table, values)}  # the last field of a name wins
        points, _ = load(pcd_bytes(table, values))
        assert points.dtype == np.float32 and points.shape == (9, 3) and points.flags.owndata
        expected = np.stack([by_name[c].astype(np.float32) for c in "xyz"], axis=1)
        np.testing.assert_array_equal(points, expected)

    def test_duplicate_x_takes_the_last(self, load):
        table = fields("x y z x")
        values = random_values(table, 4)
        points, extra = load(pcd_bytes(table, values))
        np.testing.assert_array_equal(points[:, 0], values[3])
        assert "x" not in extra

    @pytest.mark.parametrize("kind", ["F2", "U3", "Q4"])
    def test_unsupported_coordinate_type(self, load, kind):
        content = header(fields("x y z"), 1, "binary").replace(b"TYPE F F F", b"TYPE F F " + kind[:1].encode())
        content = content.replace(b"SIZE 4 4 4", b"SIZE 4 4 " + kind[1:].encode())
        with pytest.raises(
            RuntimeError, match=f"^Unsupported PCD type/size: field 'z' has TYPE {kind[0]} SIZE {kind[1:]}$"
        ):
            load(content + bytes(16))


class TestTruncationAndSizes:
    def test_truncated_data_is_an_error(self, load):
        table = fields("x y z")
        content = pcd_bytes(table, random_values(table, 10))
        with pytest.raises(RuntimeError, match="truncated: expected 120 bytes, the file holds 119"):
            load(content[:-1])

    def test_trailing_bytes_are_ignored(self, load):
        table = fields("x y z")
        values = random_values(table, 3)
        points, _ = load(pcd_bytes(table, values) + b"trailing garbage")
        np.testing.assert_array_equal(points, np.stack(values, axis=1))

    def test_huge_point_count_fails_before_allocating(self, load):
        content = header(fields("x y z i"), 100_000_000, "binary")
        with pytest.raises(RuntimeError, match="truncated: expected 1600000000 bytes, the file holds 4"):
            load(content + bytes(4))

    @pytest.mark.parametrize("data", ["binary", "weird"])
    def test_negative_points(self, load, data):
        content = header(fields("x y z"), -1, data).replace(b"WIDTH -1", b"WIDTH 1")
        with pytest.raises(RuntimeError, match="^PCD POINTS is negative: -1$"):
            load(content)

    def test_product_beyond_32_bits(self, load):
        content = header(fields("x y z a:F8x200"), 2_000_000, "binary")
        expected = "PCD data too large" if sys.maxsize < 2**32 else "truncated: expected 3224000000 bytes"
        with pytest.raises(RuntimeError, match=expected):
            load(content)

    def test_data_beyond_2_gib(self, pcd_file):
        import tessarel

        points = 2**31 // 12 + 2
        path = pcd_file(header(fields("x y z"), points, "binary"))
        last = np.array([1.5, -2.0, 3.25], np.float32)
        with open(path, "r+b") as file:  # sparse: the zeros before the last point take no disk
            file.truncate(file.seek(0, 2) + (points - 1) * 12)
            file.seek(0, 2)
            file.write(last.tobytes())
        if sys.maxsize < 2**32:
            with pytest.raises(RuntimeError, match="PCD data too large"):
                tessarel.load_pcd(path)
            return
        loaded, _ = tessarel.load_pcd(path)
        assert loaded.shape == (points, 3)
        np.testing.assert_array_equal(loaded[-1], last)
        assert not loaded[-2].any()

    @pytest.mark.parametrize(
        "size, count, message",
        [
            ("4 4 4 -4", "1 1 1 1", "'a' has a negative SIZE"),
            ("4 4 4 4", "1 1 1 -2", "'a' has a negative COUNT"),
            (
                "4 4 4 2147483647",
                "1 1 1 2",
                "point record of 4294967306 bytes exceeds the limit|field 'a' has TYPE F SIZE 2147483647",
            ),
        ],
    )
    def test_fields_outside_the_record(self, load, size, count, message):
        content = header(fields("x y z a"), 0, "binary")
        content = content.replace(b"SIZE 4 4 4 4", b"SIZE " + size.encode()).replace(
            b"COUNT 1 1 1 1", b"COUNT " + count.encode()
        )
        with pytest.raises(RuntimeError, match=message):
            load(content)
