"""Header rules that change what a load returns or which error it reports."""

import sys

import numpy as np
import pytest

import tessarel
from pcd_writer import ENCODINGS, binary_section, fields, pcd_bytes, random_values, write

XYZ = fields("x y z")


def cloud(points=2, seed=0):
    values = random_values(XYZ, points, seed)
    return binary_section(XYZ, values), np.stack(values, axis=1)


@pytest.mark.parametrize(
    "lines",
    [
        "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nPOINTS 2\nDATA binary\n",
        "POINTS 2\nFIELDS x y z\nSIZE 4 4 4\nCOUNT 3 3 3\nFIELDS x y z\nCOUNT 1 1 1\nDATA binary\n",
        "VERSION .7\r\nFIELDS x y z\r\nSIZE 4 4 4\r\nTYPE F F F\r\nCOUNT 1 1 1\r\nPOINTS 2\r\nDATA binary\r\n",
        "# comment\n\nFIELDS a\nFIELDS x y z\nTYPE F F F\nPOINTS 7\nPOINTS 2\nDATA Binary extra tokens\n",
        "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nPOINTS 2\nDATA binary\n",
        "FIELDS x y z\nPOINTS 2\nPOINTS\nfields a b\n  # indented, no keyword\nDATA BINARY\n",
    ],
    ids=["usual", "count-before-last-fields", "crlf", "comments-last-fields-line", "no-count-line", "ignored-lines"],
)
def test_header_variants(load, lines):
    data, expected = cloud()
    points, extra = load(lines.encode() + data)
    np.testing.assert_array_equal(points, expected)
    assert extra == {}


@pytest.mark.parametrize(
    "lines",
    [
        "# DATA ascii\nFIELDS x y z\nCOUNT 1 1 1\nPOINTS 2\nDATA binary\n",
        "FIELDS x y z DATA_quality\nSIZE 4 4 4 4\nCOUNT 1 1 1 1\nPOINTS 2\nDATA binary\n",
    ],
    ids=["comment", "field-name"],
)
def test_data_section_starts_after_the_real_data_line(load, lines):
    table = fields("x y z DATA_quality") if "quality" in lines else XYZ
    values = random_values(table, 2)
    points, _ = load(lines.encode() + binary_section(table, values))
    np.testing.assert_array_equal(points, np.stack(values[:3], axis=1))


def test_no_count_line_lays_fields_out_with_count_one(load):
    table = fields("x y z a:U1 b:F8")
    values = random_values(table, 3)
    lines = "FIELDS x y z a b\nSIZE 4 4 4 1 8\nTYPE F F F U F\nPOINTS 3\nDATA binary\n"
    points, extra = load(lines.encode() + binary_section(table, values))
    np.testing.assert_array_equal(extra["a"], values[3])
    np.testing.assert_array_equal(extra["b"], values[4])
    assert extra["b"].strides == (21,)


# A SIZE, TYPE or COUNT line before the first FIELDS line has no fields to apply to; the
# reference reader refuses it, and dropping it would misread the records.
@pytest.mark.parametrize(
    "content, message",
    [
        (b"", "PCD must contain x, y, z fields"),
        (b"FIELDS x y\nDATA binary\n", "PCD must contain x, y, z fields"),
        (b"FIELDS X Y Z\nDATA binary\n", "PCD must contain x, y, z fields"),
        (b"FIELDS x y z\nPOINTS 1\n", "Unsupported PCD DATA type: "),
        (b"FIELDS x y z\nDATA\n", "Unsupported PCD DATA type: "),
        (b"FIELDS x y z\nDATA binary_LZF\n", "Unsupported PCD DATA type: binary_lzf"),
        (b"FIELDS x y z\nPOINTS -1\nDATA binary_lzf\n", "PCD POINTS is negative: -1"),
        (b"FIELDS x y z\nSIZE 4 4 -4\nPOINTS -1\nDATA binary\n", r"PCD field 'z' has a negative SIZE \(-4\)"),
        (b"SIZE 8 4 4\nTYPE F F F\nFIELDS x y z\nPOINTS 1\nDATA binary\n" + bytes(16),
         "PCD header: SIZE line 1 comes before the FIELDS line"),
        (b"# c\n\nTYPE F F F\nFIELDS x y z\nDATA binary\n", "PCD header: TYPE line 3 comes before the FIELDS line"),
        (b"FIELDS x y\nCOUNT 1 1\nFIELDS x y z\nPOINTS -2\nDATA binary\n", "PCD POINTS is negative: -2"),
        (b"VERSION .7\nCOUNT 1 1 1\nFIELDS x y z\nDATA binary\n",
         "PCD header: COUNT line 2 comes before the FIELDS line"),
        (b"FIELDS x y z\nWIDTH -5\nHEIGHT -5\nDATA ascii\n" + b"1 2 3\n" * 25,
         "PCD header: WIDTH on line 2 is -5: the cloud's organisation cannot be negative"),
        (b"FIELDS x y z\nWIDTH 4294967296\nHEIGHT -1\nDATA ascii\n", "PCD header: HEIGHT on line 3 is -1: .*"),
    ],
    ids=["empty", "no-z", "upper-case", "no-data-line", "empty-data", "unknown-data", "negative-points-first",
         "negative-size-before-points", "size-before-fields", "type-before-fields", "count-after-a-fields-line",
         "count-before-fields", "negative-width", "negative-height"],
)
def test_header_errors_in_order(load, content, message):
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        load(content)


@pytest.mark.parametrize("value, points", [("abc", 0), ("2.9", 2), ("+2", 2)])
def test_lenient_numbers(load, value, points):
    data, expected = cloud(points)
    result, _ = load(f"FIELDS x y z\nPOINTS {value}\nDATA binary\n".encode() + data)
    np.testing.assert_array_equal(result, expected)


HOLDS_CLAMPED_CLOUD = 2**31 * 12  # more than 2^31 - 1 points of x y z: what a count held at int32 would read


# Counts are held at 64 bits, never at a bound: a count held at a bound would read the first
# points of a larger cloud as the whole cloud. The data sections are holes, which cost no disk.
# -> (the points load_pcd_header reports, or its error; the error of a load)
@pytest.mark.parametrize(
    "lines, section, points, message",
    [
        ("WIDTH 3000000000\nPOINTS 3000000000\n", HOLDS_CLAMPED_CLOUD, 3_000_000_000,
         "PCD binary data is truncated: expected 36000000000 bytes, the file holds 25769803776"),
        ("WIDTH 4294967296\nHEIGHT 2\n", 0, 2**33, "PCD binary data is truncated: expected 103079215104 bytes, the "
         "file holds 0"),
        ("POINTS 9223372036854775807\n", 0, None, "PCD data too large: POINTS 9223372036854775807 * 12 bytes "
         "per point exceeds the limit of 9223372036854775807 bytes"),
        ("POINTS 99999999999999999999\n", 0, None,
         "PCD header: POINTS on line 2 is 99999999999999999999, outside the 64-bit range of counts"),
        ("POINTS 7\nPOINTS -9223372036854775809 1\n", 0, None,
         "PCD header: POINTS on line 3 is -9223372036854775809, outside the 64-bit range of counts"),
        ("WIDTH +9223372036854775808x\nPOINTS 1\n", 12, None,
         "PCD header: WIDTH on line 2 is +9223372036854775808, outside the 64-bit range of counts"),
        ("WIDTH 4294967296\nHEIGHT 2147483648\n", 0, None,
         "PCD header: WIDTH 4294967296 * HEIGHT 2147483648 is outside the 64-bit range of counts"),
        ("WIDTH -3037000500\nHEIGHT 3037000500\n", 0, None,
         "PCD header: WIDTH on line 2 is -3037000500: the cloud's organisation cannot be negative"),
    ],
    ids=["beyond-int32", "width-height", "int64-max", "beyond-int64", "below-int64", "width-beyond-int64",
         "width-height-beyond-int64", "negative-width-height"],
)
@pytest.mark.skipif(sys.maxsize < 2**32, reason="a 32-bit build refuses clouds over 2^31 - 1 bytes first")
def test_counts_at_64_bits(tmp_path, lines, section, points, message):
    head = f"FIELDS x y z\n{lines}DATA binary\n".encode()
    path = write(tmp_path / "map.pcd", head, size=len(head) + section)
    outcomes = []
    for read in (lambda path: tessarel.load_pcd_header(path)["points"], tessarel.load_pcd):
        try:
            outcomes.append(read(path))
        except RuntimeError as error:
            outcomes.append(str(error))
    assert outcomes == [message if points is None else points, message]


def test_data_line_without_line_end_and_no_points(load):
    points, _ = load(b"FIELDS x y z\nPOINTS 0\nDATA binary")
    assert points.shape == (0, 3)


def test_duplicate_field_names_keep_the_first_position(load):
    table = fields("x y z a b:U2 a:I1")
    values = random_values(table, 4)
    _, extra = load(
        b"FIELDS x y z a b a\nSIZE 4 4 4 4 2 1\nTYPE F F F F U I\nCOUNT 1 1 1 1 1 1\nPOINTS 4\nDATA binary\n"
        + binary_section(table, values)
    )
    assert list(extra) == ["a", "b"]
    np.testing.assert_array_equal(extra["a"], values[5])


def test_field_names_are_utf8(load):
    table = fields("x y z")
    data = binary_section(table, random_values(table, 1))
    _, extra = load(
        "FIELDS x y z größe\nSIZE 4 4 4 1\nTYPE F F F U\nCOUNT 1 1 1 1\nPOINTS 1\nDATA binary\n".encode()
        + data
        + b"\x05"
    )
    assert extra["größe"][0] == 5


def test_non_utf8_field_names_are_surrogate_escapes_everywhere(pcd_file):
    """As os.fsdecode gives file names: no two names become one key, and each can be asked for."""
    path = pcd_file(b"FIELDS x y z \xff \\xff\nSIZE 4 4 4 1 1\nTYPE F F F U U\nPOINTS 1\nDATA ascii\n1 2 3 4 5\n")
    names = [name for name, *_ in tessarel.load_pcd_header(path)["fields"]]
    assert names == [name for name, *_ in tessarel.iter_pcd(path).header["fields"]]
    assert names == ["x", "y", "z", "\udcff", "\\xff"]
    assert tessarel.load_pcd(path)[1] == {"\udcff": 4, "\\xff": 5}
    assert tessarel.load_pcd(path, ["\udcff"])[1] == {"\udcff": 4}


def test_non_utf8_version_reads_with_replacement_characters(pcd_file):
    path = pcd_file(b"VERSION 0.7\xff\nFIELDS x y z\nPOINTS 0\nDATA binary\n")
    assert tessarel.load_pcd_header(path)["version"] == "0.7\ufffd"
    assert tessarel.load_pcd(path)[0].shape == (0, 3)


MIX = fields("x y z v w:U2")


# Header edits -> the arrays that come back (name -> index into the written values), or the
# error. Every check of the header is made before the data section is read, so a damaged
# data section behind a bad header never decides the error.
@pytest.mark.parametrize(
    "edits, outcome",
    [
        ([(b"POINTS 2\n", b""), (b"WIDTH 2", b"WIDTH 1"), (b"HEIGHT 1", b"HEIGHT 2")], {"v": 3, "w": 4}),
        ([(b"WIDTH 2", b"WIDTH 640"), (b"HEIGHT 1", b"HEIGHT 480")], {"v": 3, "w": 4}),
        ([(b"TYPE F F F F U", b"TYPE f f f f u")], {"v": 3, "w": 4}),
        ([(b"FIELDS x y z v w", b"FIELDS x y z a\0b a\0c")], {"a\0b": 3, "a\0c": 4}),
        (
            [(b"COUNT 1 1 1 1 1", b"COUNT 0 0 0 1 1"), (b"POINTS 2", b"POINTS -5")],
            (RuntimeError, "^PCD POINTS is negative: -5$"),
        ),
        ([(b"POINTS 2", b"POINTS -1")], (RuntimeError, "^PCD POINTS is negative: -1$")),
        ([(b"COUNT 1 1 1 1 1", b"COUNT 1 0 1 1 1")], (RuntimeError, "^PCD coordinate field 'y' has COUNT 0$")),
        (
            [(b"SIZE 4 4 4 4 2", b"SIZE 4 4 4 2 2"), (b"DATA", b"#\nDATA")],
            (RuntimeError, "^Unsupported PCD type/size: field 'v' has TYPE F SIZE 2$"),
        ),
        (
            [(b"TYPE F F F F U", b"TYPE F F F F Q")],
            (RuntimeError, "^Unsupported PCD type/size: field 'w' has TYPE Q SIZE 2$"),
        ),
        (
            [(b"FIELDS x y z v w", b"FIELDS x y z v w\0\x1b"), (b"TYPE F F F F U", b"TYPE F F F F Q")],
            (RuntimeError, r"^Unsupported PCD type/size: field 'w\\x00\\x1b' has TYPE Q SIZE 2$"),
        ),
        (
            [(b"TYPE F F F F U", b"TYPE F F F F \0")],
            (RuntimeError, r"^Unsupported PCD type/size: field 'w' has TYPE \\x00 SIZE 2$"),
        ),
        (
            [(b"TYPE F F F F U", b"TYPE F F F \xff U")],
            (RuntimeError, r"^Unsupported PCD type/size: field 'v' has TYPE \\xff SIZE 4$"),
        ),
        (
            [(b"VERSION", b"# " + b"c" * (17 << 20) + b"\nVERSION")],
            (RuntimeError, "^PCD header line longer than 16777216 bytes"),
        ),
    ],
    ids=[
        "no-points-line",
        "points-over-width-height",
        "lower-case-types",
        "nul-in-names",
        "negative-points-empty-record",
        "negative-points",
        "coordinate-count-0",
        "unsupported-size",
        "unsupported-letter",
        "nul-in-a-message",
        "nul-letter",
        "non-utf8-letter",
        "huge-line",
    ],
)
@pytest.mark.parametrize("encoding", ENCODINGS)
def test_header_table(load, encoding, edits, outcome):
    values = random_values(MIX, 2)
    content = pcd_bytes(MIX, values, encoding)
    head, data = content.split(b"DATA", 1)
    if isinstance(outcome, tuple):
        data = data.split(b"\n", 1)[0] + b"\n" + b"\xff" * 7  # a damaged section that is never reached
    content = head + b"DATA" + data
    for old, new in edits:
        assert old in content
        content = content.replace(old, new, 1)
    if isinstance(outcome, tuple):
        with pytest.raises(outcome[0], match=outcome[1]):
            load(content)
        return
    points, extra = load(content)
    np.testing.assert_array_equal(points, np.stack(values[:3], axis=1))
    assert list(extra) == list(outcome)
    for name, index in outcome.items():
        np.testing.assert_array_equal(extra[name], values[index])


# Layout lines in any order, repeated or missing -> the fields as the data holds them (back to
# back, in the last FIELDS line's order), or the error. The last line of a keyword wins, and a
# FIELDS line starts its fields from the defaults.
@pytest.mark.parametrize(
    "lines, layout",
    [
        ("FIELDS x y z\nCOUNT 1 1 1\nSIZE 8 4 4\nTYPE F F F\n", "x:F8 y z"),
        ("FIELDS x y z\nCOUNT 2 1 1\nTYPE F U F\nSIZE 4 2 8\n", "x:F4x2 y:U2 z:F8"),
        ("FIELDS a\nSIZE 8 8 8\nCOUNT 2 2 2\nFIELDS x y z\n", "x y z"),
        ("FIELDS x y z w\nCOUNT 1 1 1 134217728\nCOUNT 1 1 1 0\n", "x y z w:F4x0"),
        ("FIELDS a b\nSIZE 8 8\nCOUNT 3 3\nFIELDS x y z i\nSIZE 4 4 4 2\nTYPE F F F U\nSIZE 4 4 4 1\n", "x y z i:U1"),
        ("FIELDS x y z i\nTYPE F F F I\nSIZE 4 4\n", "x y z i:I4"),
        ("FIELDS x y z\nSIZE 4 4 4\nCOUNT 1 1 1\nCOUNT 1 1\n", "x y z"),
        ("FIELDS x y z\nCOUNT 1 1 1\nSIZE 4 4 3\n", "Unsupported PCD type/size: field 'z' has TYPE F SIZE 3"),
        ("FIELDS x y z\nFIELDS a b c\n", "PCD must contain x, y, z fields"),
    ],
    ids=[
        "size-after-count",
        "reversed",
        "lines-before-last-fields",
        "second-count",
        "repeated-lines",
        "short-size-line",
        "short-count-line",
        "bad-size-after-count",
        "last-fields-line",
    ],
)
@pytest.mark.parametrize("encoding", ENCODINGS)
def test_layout_from_the_final_lines(load, encoding, lines, layout):
    head = f"{lines}POINTS 3\nDATA {encoding}\n".encode()
    if layout[0].isupper():  # an error message
        with pytest.raises(RuntimeError, match=f"^{layout}"):
            load(head + b"\0" * 64)
        return
    table = fields(layout)
    values = random_values(table, 3, seed=5)
    points, extra = load(head + pcd_bytes(table, values, encoding).split(b"\nDATA " + encoding.encode() + b"\n")[1])
    np.testing.assert_array_equal(points, np.stack([v if v.ndim == 1 else v[:, 0] for v in values[:3]], axis=1)
                                  .astype(np.float32))
    for field, value in zip(table, values):
        if field.name in "xyz" and field.dtype == np.float32 and field.count == 1:
            assert field.name not in extra
        else:
            assert extra[field.name].dtype == field.dtype
            np.testing.assert_array_equal(extra[field.name], value)


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_map_coordinates_keep_every_digit(load, encoding):
    # UTM-like eastings and northings, where float32 steps are centimetres apart.
    rng = np.random.default_rng(1)
    table = fields("x:F8 y:F8 z:F8 intensity")
    values = [500_000 + rng.random(50) * 1e3, 5_400_000 + rng.random(50) * 1e3, rng.random(50) * 100,
              rng.random(50).astype(np.float32)]
    points, extra = load(pcd_bytes(table, values, encoding))
    for name, value in zip("xyz", values):
        assert extra[name].tobytes() == value.tobytes()
    np.testing.assert_array_equal(points, np.stack(values[:3], axis=1).astype(np.float32))
    np.testing.assert_array_equal(extra["intensity"], values[3])
