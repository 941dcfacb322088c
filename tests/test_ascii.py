"""ASCII data sections: separators, number syntax, narrowing and the errors for bad text."""

import numpy as np
import pytest

from pcd_writer import fields, header, pcd_bytes, random_values, DTYPES


def ascii_cloud(spec: str, text: bytes | str, points: int):
    table = fields(spec)
    return header(table, points, "ascii") + (text.encode() if isinstance(text, str) else text)


def one_value(load, kind: str, token: str):
    """Loads `token` into a field `v` of the given kind and returns the stored value."""
    _, extra = load(ascii_cloud(f"x y z v:{kind}", f"0 0 0 {token}\n", 1))
    return extra["v"][0]


@pytest.mark.parametrize(
    "text",
    [b"1 2 3 4 5 6", b"1\n2\n3\n4\n5\n6\n", b"1 2 3\r\n4 5 6\r\n", b"1\t2\t3\n\t4\t5\t6", b"1\x002\x003\x004\x005\x006",
     b"1\xa02\xa03\xa04\xa05\xa06", b"1\xc2\xa02 3\xe2\x80\x834 5 6", b"  \n\n1 2 3 4 5 6\n\n"],
    ids=["one-line", "one-per-line", "crlf", "tabs", "nul", "a0", "utf8-spaces", "blank-lines"],
)
def test_separators(load, text):
    points, _ = load(ascii_cloud("x y z", text, 2))
    np.testing.assert_array_equal(points, [[1, 2, 3], [4, 5, 6]])


def test_count_fields_take_consecutive_tokens_across_lines(load):
    _, extra = load(ascii_cloud("x y z h:F4x3 k:U2x2", "0 0 0 1\n2 3 4 5 0 0 0\n6\n7 8 9 10", 2))
    np.testing.assert_array_equal(extra["h"], [[1, 2, 3], [6, 7, 8]])
    np.testing.assert_array_equal(extra["k"], [[4, 5], [9, 10]])


@pytest.mark.parametrize(
    "token, expected",
    [
        ("1.0000000596046448", 1 + 2**-23),
        ("-0", -0.0), ("1e39", np.inf), ("-1e39", -np.inf), ("-1e-50", -0.0), (".5", 0.5), ("5.", 5.0),
        ("1E+2", 100.0), ("3.4028235e38", np.finfo(np.float32).max), ("1.4e-45", 2.0**-149),
        ("INF", np.inf), ("-Infinity", -np.inf), ("inf", np.inf),
    ],
)
def test_float32_values(load, token, expected):
    value = one_value(load, "F4", token)
    assert value == np.float32(expected) and np.signbit(value) == np.signbit(expected)


@pytest.mark.parametrize("token", ["nan", "NaN", "-nan", "nan(x1_2)", "NAN()"])
def test_nan_spellings(load, token):
    _, extra = load(ascii_cloud("x y z v w:U1", f"0 0 0 {token} 7", 1))
    assert np.isnan(extra["v"][0]) and np.signbit(extra["v"][0]) == token.startswith("-")
    assert extra["w"][0] == 7


def test_float64_is_exact(load):
    assert one_value(load, "F8", "0.1") == 0.1
    assert one_value(load, "F8", "2.2250738585072014e-308") == np.finfo(np.float64).smallest_normal


@pytest.mark.parametrize(
    "kind, token, expected",
    [
        ("U1", "300", 44), ("I1", "-1", -1), ("I1", "255", -1), ("I2", "40000", 40000 - 65536), ("U4", str(2**32 + 1), 1),
        ("I8", str(-(2**63)), -(2**63)), ("I8", str(2**63 - 1), 2**63 - 1), ("U8", str(2**64 - 1), 2**64 - 1),
        ("U8", "0000000000000000000000042", 42), ("I4", "-000", 0), ("U2", "007", 7),
    ],
)
def test_integer_narrowing_and_extremes(load, kind, token, expected):
    assert int(one_value(load, kind, token)) == expected


def test_integer_stops_before_a_fraction_which_the_next_float_reads(load):
    _, extra = load(ascii_cloud("x y z a:I4 b:F4", "0 0 0 1.9", 1))
    assert extra["a"][0] == 1 and extra["b"][0] == np.float32(0.9)


def test_unknown_type_letters_take_no_token(load):
    # Had q taken the 9, r would run out of text; instead the load reaches array assembly,
    # which refuses the lower-case letter.
    with pytest.raises(RuntimeError, match="^Unsupported PCD type/size$"):
        load(ascii_cloud("x y z q:f4 r:U1", "1 2 3 9", 1))


def test_unsupported_sizes_consume_their_token_and_are_refused(load):
    with pytest.raises(RuntimeError, match="^Unsupported PCD type/size$"):
        load(ascii_cloud("x y z v:F2 w:I3", "1 2 3 1.5 -7", 1))


def test_tokens_beyond_the_cloud_are_ignored(load):
    points, _ = load(ascii_cloud("x y z", "1 2 3 4 5 6 junk", 1))
    np.testing.assert_array_equal(points, [[1, 2, 3]])


@pytest.mark.parametrize(
    "spec, text, message",
    [
        ("x y z", "1 2 abc", r"point 0, field 'z': 'abc' is not a number of type F 4"),
        ("x y z", "1,2,3", r"point 0, field 'y': ',2,3' is not a number of type F 4"),
        ("x y z v:U4", "1 2 3 -5", r"point 0, field 'v': '-5' is not a number of type U 4"),
        ("x y z v:I2", "1 2 3 nan", r"field 'v': 'nan' is not a number of type I 2"),
        ("x y z v:F4", "1 2 3 +1", r"field 'v': '\+1' is not a number"),
        ("x y z v:I4", "1 2 3 0x10", r"field 'x': 'x10' is not a number"),
        ("x y z v:F4x2", "1 2 3 1 2 4 5 6 1 e", r"point 1, field 'v' element 1: 'e' is not a number"),
        ("x y z v:I8", f"1 2 3 {2**63}", r"point 0, field 'v': '9223372036854775808' is outside the 64-bit range of type I 8"),
        ("x y z v:U1", f"1 2 3 {2**64}", r"field 'v': '18446744073709551616' is outside the 64-bit range of type U 1"),
        ("x y z", "1 2 3 4 5", r"ASCII PCD data ended early: expected 6 values, read 5"),
        ("x y z", "", r"ASCII PCD data ended early: expected 6 values, read 0"),
    ],
)
def test_bad_text_is_an_error(load, spec, text, message):
    with pytest.raises(RuntimeError, match=message):
        load(ascii_cloud(spec, text, 2))


@pytest.mark.parametrize("text", [b"", b"\n", b"1 2 3"])
def test_zero_points_ignore_the_text(load, text):
    points, _ = load(ascii_cloud("x y z", text, 0))
    assert points.shape == (0, 3)


def test_data_line_is_the_last_line(load):
    with pytest.raises(RuntimeError, match="ended early: expected 3 values, read 0"):
        load(header(fields("x y z"), 1, "ascii")[:-1])


@pytest.mark.parametrize("spec", ["x y z intensity", "x y z " + " ".join(f"f{t}{s}:{t}{s}" for t, s in DTYPES) + " d:F4x3"])
def test_ascii_and_binary_give_identical_arrays(load, spec):
    table = fields(spec)
    values = random_values(table, 300, seed=5)
    values[0][::7] = np.nan
    values[1][::11] = np.inf
    ascii_points, ascii_fields = load(pcd_bytes(table, values, "ascii"))
    binary_points, binary_fields = load(pcd_bytes(table, values, "binary"))
    np.testing.assert_array_equal(ascii_points.view(np.uint32), binary_points.view(np.uint32))
    for name in binary_fields:
        assert ascii_fields[name].tobytes() == binary_fields[name].tobytes(), name
