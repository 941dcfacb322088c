"""ASCII data sections: separators, number syntax, narrowing and the errors for bad text."""

import os
import re

import numpy as np
import pytest

import tessarel
from ascii_tokens import TOKENS
from isolated import run_isolated
from pcd_writer import DTYPES, fields, header, pcd_bytes, random_values


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


KINDS = ["F4", "F8"] + [f"{letter}{size}" for letter in "IU" for size in (1, 2, 4, 8)]


def expected_for(token: str, kind: str):
    f4, f8, signed, unsigned = TOKENS[token]
    expected = {"F4": f4, "F8": f8}.get(kind, signed if kind[0] == "I" else unsigned)
    if isinstance(expected, str) or kind[0] == "F":
        return expected
    # Two's complement, then the low bytes: what the field's width keeps of the 64-bit value.
    return np.array([expected % 2**64], np.uint64).astype(DTYPES[(kind[0], int(kind[1]))])[0]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("token", TOKENS)
def test_tokens(load, token, kind):
    expected = expected_for(token, kind)
    if isinstance(expected, str):
        with pytest.raises(RuntimeError, match=f"^ASCII PCD data, point 0, field 'v': '{re.escape(token)}' {expected}"):
            one_value(load, kind, token)
        return
    value = one_value(load, kind, token)
    if kind[0] != "F":
        assert value == expected and value.dtype == expected.dtype
    elif np.isnan(expected):
        assert np.isnan(value) and np.signbit(value) == np.signbit(expected)
    else:
        assert value.tobytes() == (np.float32 if kind == "F4" else np.float64)(expected).tobytes()


def test_tokens_beyond_the_cloud_are_ignored(load):
    points, _ = load(ascii_cloud("x y z", "1 2 3 4 5 6 junk", 1))
    np.testing.assert_array_equal(points, [[1, 2, 3]])


@pytest.mark.parametrize(
    "spec, text, message",
    [
        ("x y z", "1 2 abc", r"point 0, field 'z': 'abc' is not a number of type F 4"),
        ("x y z", "1,2,3", r"point 0, field 'x': '1,2,3' is not a number of type F 4"),
        ("x y z v:I4", "1 2 3 0x10", r"point 0, field 'v': '0x10' is not a number"),
        (
            "x y z v:U1x3",
            "1 2 3 4 5 6 4 5 6 7 8 1.5",
            r"point 1, field 'v' element 2: '1.5' is not a whole number, as type U 1 needs",
        ),
        ("x y z v:F4x2", "1 2 3 1 2 4 5 6 1 e", r"point 1, field 'v' element 1: 'e' is not a number"),
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


@pytest.mark.parametrize(
    "spec", ["x y z intensity", "x y z " + " ".join(f"f{t}{s}:{t}{s}" for t, s in DTYPES) + " d:F4x3"]
)
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


def test_scan_with_float_notation_integers_matches_binary(load):
    """numpy.savetxt and printf("%f") write integer fields in float notation."""
    table = fields("x y z intensity label:U4 ring:U2 rgb:U4")
    points = 4096
    rng = np.random.default_rng(3)
    ring = np.arange(points) % 64
    distance = np.round(8 + 4 * np.sin(np.arange(points) / 300) + ring / 16, 3)
    xyz = [np.round(distance * f, 3).astype(np.float32) for f in (np.cos(ring), np.sin(ring), ring / 64 - 0.5)]
    for axis in xyz:
        axis[(ring > 44) & (np.arange(points) % 1000 < 300)] = np.nan
    values = xyz + [
        np.round(255 - distance * 9).astype(np.float32),
        rng.integers(0, 20, points, dtype=np.uint32),
        ring.astype(np.uint16),
        rng.integers(0, 2**32, points, dtype=np.uint32),
    ]
    lines = [
        f"{x:.3f} {y:.3f} {z:.3f} {i:.0f} {label:f} {r:.18e} "
        f"{rgb / 10 ** len(str(rgb)):.{len(str(rgb))}f}e+{len(str(rgb))}"
        for x, y, z, i, label, r, rgb in zip(*values)
    ]
    ascii_points, ascii_fields = load(header(table, points, "ascii") + "\n".join(lines).encode())
    binary_points, binary_fields = load(pcd_bytes(table, values, "binary"))
    assert ascii_points.tobytes() == binary_points.tobytes()
    for name in binary_fields:
        assert ascii_fields[name].tobytes() == binary_fields[name].tobytes(), name


def test_tokens_cut_by_the_read_chunk_are_read_whole(load):
    # Tokens of ten bytes, so the first 4 MiB chunk ends four bytes into one.
    values = np.arange(450_000, dtype=np.float64).reshape(-1, 3) / 8 + 10000
    text = "\n".join(" ".join(f"{v:09.3f}" for v in row) for row in values)
    points, _ = load(ascii_cloud("x y z:F8", text, len(values)))
    np.testing.assert_array_equal(points, values.astype(np.float32))


CHUNK = 4 << 20  # the reader's chunk: a text of several is parsed on every CPU
WIDE = b"1.25 "  # every value of the large text below, so that a value's place in it is known
LARGE = 3 * CHUNK // len(WIDE) + 1000  # values: four chunks of text, three points each


def one_cpu() -> set[int]:
    return {min(os.sched_getaffinity(0))}


def load_on(cpus: set[int], load, content: bytes):
    """Loads on `cpus`, which the loading thread takes as all it may use."""
    mine = os.sched_getaffinity(0)
    os.sched_setaffinity(0, cpus)
    try:
        return load(content)
    finally:
        os.sched_setaffinity(0, mine)


def edge(chunk: int, after: int = 0) -> int:
    """The value whose token the end of `chunk` cuts, or one `after` it."""
    return (chunk + 1) * CHUNK // len(WIDE) + after


@pytest.mark.parametrize("cpus", [one_cpu(), os.sched_getaffinity(0)], ids=["one-cpu", "all-cpus"])
@pytest.mark.parametrize(
    "faults, values, message",
    [
        ([edge(0)], LARGE, r"^ASCII PCD data, point 279620, field 'x': '1x25' is not a number of type F 4$"),
        ([edge(0, -1), edge(0, 1)], LARGE, r"^ASCII PCD data, point 279619, field 'z': '1x25'"),
        ([edge(0, 1), edge(2)], LARGE, r"^ASCII PCD data, point 279620, field 'y': '1x25'"),
        ([edge(2), edge(1, 1)], LARGE, r"^ASCII PCD data, point 559240, field 'z': '1x25'"),
        ([LARGE - 1], LARGE, r"^ASCII PCD data, point 839193, field 'z': '1x25'"),
        ([], LARGE - 2, rf"^ASCII PCD data ended early: expected {LARGE} values, read {LARGE - 2}$"),
        ([edge(2, 5)], LARGE - 2, r"^ASCII PCD data, point 838862, field 'y': '1x25'"),
        ([LARGE, LARGE + 8], LARGE + 9, None),
    ],
    ids=["cut-by-first-edge", "either-side-of-an-edge", "after-an-edge-and-later", "later-chunk-first-found-last",
         "last-value", "ended-early", "fault-before-the-early-end", "faults-past-the-cloud"],
)
def test_faults_in_a_large_text(load, cpus, faults, values, message):
    text = bytearray(WIDE * values)
    for value in faults:
        text[value * len(WIDE) + 1] = ord("x")
    content = ascii_cloud("x y z", bytes(text), LARGE // 3)
    if message is None:
        points, _ = load_on(cpus, load, content)
        assert points.shape == (LARGE // 3, 3) and np.all(points == 1.25)
        return
    with pytest.raises(RuntimeError, match=message):
        load_on(cpus, load, content)


def test_large_scan_is_written_and_read_alike_on_one_cpu_and_all(tmp_path):
    """Several chunks of text, formatted and parsed on every CPU: the bytes of one thread."""
    points = 600_000
    ring = np.arange(points) % 64
    azimuth = np.arange(points) // 64 * (2 * np.pi / 1800)
    distance = np.round(8 + 6 * np.sin(azimuth * 3) + ring / 16, 3)
    xyz = np.stack([distance * np.cos(azimuth), distance * np.sin(azimuth), ring / 64 - 0.5], axis=1)
    xyz = np.round(xyz, 3).astype(np.float32)
    xyz[(ring > 44) & (np.sin(azimuth * 5) > 0.2)] = np.nan
    fields = {"intensity": np.round(255 - distance * 9).astype(np.float32), "ring": ring.astype(np.uint16),
              "t": azimuth * 1e-3 + 1.7e9, "normal": np.repeat(xyz / 9, 3, axis=1).astype(np.float64)}
    files = {}
    for name, cpus in (("one", one_cpu()), ("all", os.sched_getaffinity(0))):
        files[name] = tmp_path / f"{name}.pcd"
        load_on(cpus, lambda path: tessarel.save_pcd(path, xyz, fields, encoding="ascii"), files[name])
    assert files["one"].read_bytes() == files["all"].read_bytes()
    for cpus in (one_cpu(), os.sched_getaffinity(0)):
        loaded_points, loaded_fields = load_on(cpus, tessarel.load_pcd, files["one"])
        assert loaded_points.tobytes() == xyz.tobytes()
        for name, values in fields.items():
            assert loaded_fields[name].tobytes() == values.tobytes(), name


TOKEN_LIMIT = 16 << 20
TOKEN_CLOUD = 400_000  # points: 4.8 MB of records, enough to be parsed on every CPU


# The limit holds wherever the longest token stands: its separator is not part of it.
@pytest.mark.parametrize("source", ["file", "buffer"])
@pytest.mark.parametrize("cpus", [one_cpu(), os.sched_getaffinity(0)], ids=["one-cpu", "all-cpus"])
@pytest.mark.parametrize("extra", [0, 1], ids=["at-the-limit", "past-it"])
@pytest.mark.parametrize("place", ["first", "last-with-newline", "last-without"])
def test_longest_token_wherever_it_stands(pcd_file, place, extra, cpus, source):
    token = b"0" * (TOKEN_LIMIT - 1 + extra) + b"5"
    rest = b"1 2 3\n" * (TOKEN_CLOUD - 1)
    if place == "first":
        text = token + b" 2 3\n" + rest
    else:
        text = rest + b"1 2 " + token + (b"\n" if place == "last-with-newline" else b"")
    content = ascii_cloud("x y z", text, TOKEN_CLOUD)
    load = (lambda data: tessarel.load_pcd(pcd_file(data))) if source == "file" else tessarel.load_pcd_buffer
    if extra:
        with pytest.raises(RuntimeError, match=f"^ASCII PCD data holds a token longer than {TOKEN_LIMIT} bytes$"):
            load_on(cpus, load, content)
        return
    points, _ = load_on(cpus, load, content)
    assert points.shape == (TOKEN_CLOUD, 3)
    assert (points[0, 0] if place == "first" else points[-1, 2]) == 5


# Loads a buffer again and again for a few seconds while another thread rewrites its text
# between two versions with different token counts: "1 2 3" lines, and the same lines with
# each space made a '0'. Each load's count and parse of a run may then see different bytes.
_REWRITTEN_WHILE_LOADING = r"""
import sys, threading, time
import numpy as np, tessarel

buffer = np.fromfile(sys.argv[1], np.uint8)
start, seconds = int(sys.argv[2]), float(sys.argv[3])
text = buffer[start:].copy()
fewer = np.where(text == ord(" "), ord("0"), text).astype(np.uint8)
done = threading.Event()

def rewrite():
    while not done.is_set():
        buffer[start:] = fewer
        buffer[start:] = text

writer = threading.Thread(target=rewrite)
writer.start()
deadline = time.monotonic() + seconds
try:
    while time.monotonic() < deadline:
        try:
            tessarel.load_pcd_buffer(buffer)
            print("loaded")
        except RuntimeError as error:
            print(error)
finally:
    done.set()
    writer.join()
"""


def test_buffer_rewritten_while_it_loads(tmp_path):
    points = 2_000_000  # 12 MB of text, 24 MB of records: parsed on every CPU
    content = ascii_cloud("x y z", b"1 2 3\n" * points, points)
    path = tmp_path / "rewritten.pcd"
    path.write_bytes(content)
    start = content.index(b"DATA ascii\n") + len(b"DATA ascii\n")
    outcomes = run_isolated(_REWRITTEN_WHILE_LOADING, str(path), str(start), "3")
    # A token changed while it is parsed may stop being one number; its bytes are still the text's.
    expected = re.compile(r"loaded|ASCII PCD data changed while it was read: point \d+, field '[xyz]' has no token "
                          r"where one was counted|ASCII PCD data ended early: expected 6000000 values, read \d+|"
                          r"ASCII PCD data, point \d+, field '[xyz]': '[0-9]{1,5}' is not a number of type F 4")
    assert outcomes
    assert [outcome for outcome in outcomes if not expected.fullmatch(outcome)] == []
