"""save_pcd: every encoding reads back bit for bit, bad arguments fail before anything is
written, and a failed save leaves the target as it was."""

import os
import subprocess
import sys
import textwrap
from types import MappingProxyType

import numpy as np
import pytest
import tessarel

from conftest import DATA
from pcd_writer import DTYPES

ENCODINGS = ["binary", "ascii", "binary_compressed"]
RNG = np.random.default_rng(7)


def extremes(dtype, points: int) -> np.ndarray:
    """Random values with each type's extremes (and NaN, infinities, subnormals) among them."""
    dtype, wanted = np.dtype(dtype).newbyteorder("="), np.dtype(dtype)
    if dtype.kind == "f":
        info = np.finfo(dtype)
        special = [info.min, info.max, info.tiny, info.smallest_subnormal, -0.0, np.nan, np.inf, -np.inf, 0.1]
        values = (RNG.standard_normal(points) * 10.0 ** RNG.integers(-30, 30, points)).astype(dtype)
    else:
        info = np.iinfo(dtype)
        special = [info.min, info.max, 0, 1]
        values = RNG.integers(info.min, info.max, points, dtype=dtype, endpoint=True)
    values[: min(points, len(special))] = np.array(special, dtype)[:points]
    return values.astype(wanted)


def cloud(points: int, coordinates=np.float32, **shapes):
    """Points and fields: name -> (dtype, count), values with extremes."""
    xyz = np.stack([extremes(coordinates, points) for _ in range(3)], axis=1)
    fields = {name: np.stack([extremes(dtype, points) for _ in range(count)], axis=1) if count > 1
              else extremes(dtype, points) for name, (dtype, count) in shapes.items()}
    return xyz, fields


ALL_TYPES = {f"{t}{s}": (DTYPES[(t, s)], 1) for t, s in DTYPES}
CLOUDS = {
    "ten-dtypes": lambda: cloud(40, **ALL_TYPES),
    "counts": lambda: cloud(25, normal=(np.float32, 3), hist=(np.uint16, 33), one=(np.int8, 1)),
    "float64-points": lambda: cloud(30, np.float64, intensity=(np.float32, 1)),
    "integer-x": lambda: cloud(30, x=(np.int32, 1), y=(np.uint8, 1), z=(np.float64, 1)),
    "padding": lambda: cloud(10, _=(np.uint8, 3), label=(np.uint32, 1)),
    "no-points": lambda: cloud(0, intensity=(np.float32, 1), n=(np.float64, 2)),
    "one-point": lambda: cloud(1, rgb=(np.uint32, 1)),
    "big-endian": lambda: cloud(20, t=(">f8", 1), k=(">i2", 3), u=(">u4", 1)),
    "strided": lambda: (lambda p, f: (p[::2], {"i": f["i"][::-2], "n": np.asfortranarray(f["n"])[::2]}))(
        *cloud(40, i=(np.uint16, 1), n=(np.float32, 3))),
}


def bits(array: np.ndarray, encoding: str) -> bytes:
    """The bytes of the values in native order; text keeps no NaN payload, so NaNs are made one."""
    array = np.ascontiguousarray(array, array.dtype.newbyteorder("="))
    if encoding == "ascii" and array.dtype.kind == "f":
        array = np.where(np.isnan(array), np.copysign(np.nan, np.signbit(array) * -2.0 + 1), array).astype(array.dtype)
    return array.tobytes()


def expected_load(points: np.ndarray, fields: dict) -> tuple[np.ndarray, dict]:
    columns = {name: points[:, i] for i, name in enumerate("xyz")}
    columns.update({name: fields[name] for name in "xyz" if name in fields})
    extra = {name: columns[name] for name in "xyz" if columns[name].dtype != np.float32}
    extra.update({name: values for name, values in fields.items() if name not in "xyz"})
    with np.errstate(over="ignore"):  # float64 extremes become float32 infinities, as they do in the reader
        return np.stack([columns[name] for name in "xyz"], axis=1).astype(np.float32), extra


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("make", CLOUDS.values(), ids=CLOUDS.keys())
def test_round_trip_is_exact(tmp_path, make, encoding):
    points, fields = make()
    path = tmp_path / "cloud.pcd"
    tessarel.save_pcd(path, points, fields, encoding=encoding)
    loaded_points, loaded = tessarel.load_pcd(path)
    want_points, want = expected_load(points, fields)
    assert bits(loaded_points, encoding) == bits(want_points, encoding)
    assert list(loaded) == [name for name in want if name in loaded] and sorted(loaded) == sorted(want)
    for name, values in want.items():
        assert loaded[name].dtype == values.dtype.newbyteorder("="), name
        assert bits(loaded[name], encoding) == bits(values, encoding), name


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_organized_cloud_and_viewpoint(tmp_path, encoding):
    points, fields = cloud(12, intensity=(np.float32, 1))
    path = tmp_path / "organized.pcd"
    tessarel.save_pcd(path, points, fields, encoding=encoding, height=3, viewpoint=(0.1, -2, 1e-300, 0.5, 0.5, 0.5, 0.5))
    header = tessarel.load_pcd_header(path)
    assert (header["width"], header["height"], header["points"], header["data"]) == (4, 3, 12, encoding)
    assert header["viewpoint"] == (0.1, -2.0, 1e-300, 0.5, 0.5, 0.5, 0.5)
    assert [line.split()[0] for line in path.read_bytes().split(b"\nDATA")[0].decode().splitlines()[1:]] == [
        "VERSION", "FIELDS", "SIZE", "TYPE", "COUNT", "WIDTH", "HEIGHT", "VIEWPOINT", "POINTS"]


def loads(path) -> bool:
    try:
        tessarel.load_pcd(path)
    except RuntimeError:  # descriptors and the like, with no x, y and z
        return False
    return True


PCD_FILES = sorted(p for p in DATA.rglob("*.pcd") if loads(p))


@pytest.mark.parametrize("path", PCD_FILES, ids=lambda p: p.name)
def test_every_data_file_saves_and_loads_alike(tmp_path, path):
    points, fields = tessarel.load_pcd(path)
    for encoding in ENCODINGS:
        tessarel.save_pcd(tmp_path / "copy.pcd", points, fields, encoding=encoding)
        again_points, again = tessarel.load_pcd(tmp_path / "copy.pcd")
        assert bits(again_points, encoding) == bits(points, encoding), encoding
        assert list(again) == list(fields)
        for name in fields:
            assert bits(again[name], encoding) == bits(fields[name], encoding), (encoding, name)


POINTS = np.zeros((4, 3), np.float32)
BAD_ARGUMENTS = {
    "points-dtype": ((POINTS.astype(np.int32),), {}, TypeError, "points has dtype int32"),
    "points-shape": ((POINTS[:, :2],), {}, ValueError, r"points has shape \(4, 2\)"),
    "bool-field": ((POINTS, {"b": np.zeros(4, bool)}), {}, TypeError, "field 'b' has dtype bool"),
    "float16-field": ((POINTS, {"h": np.zeros(4, np.float16)}), {}, TypeError, "field 'h' has dtype float16"),
    "complex-field": ((POINTS, {"c": np.zeros(4, complex)}), {}, TypeError, "field 'c' has dtype complex128"),
    "object-field": ((POINTS, {"o": np.array([None] * 4)}), {}, TypeError, "field 'o' has dtype object"),
    "structured-field": ((POINTS, {"s": np.zeros(4, "u1,u2")}), {}, TypeError, "field 's' has dtype"),
    "short-field": ((POINTS, {"i": np.zeros(3)}), {}, ValueError, r"field 'i' has shape \(3,\)"),
    "count-0": ((POINTS, {"i": np.zeros((4, 0))}), {}, ValueError, r"field 'i' has shape \(4, 0\)"),
    "3-d-field": ((POINTS, {"i": np.zeros((4, 1, 1))}), {}, ValueError, "field 'i' has shape"),
    "empty-name": ((POINTS, {"": np.zeros(4)}), {}, ValueError, "field name '' cannot be written"),
    "space-in-name": ((POINTS, {"a b": np.zeros(4)}), {}, ValueError, "field name 'a b' cannot be written"),
    "control-in-name": ((POINTS, {"a\nb": np.zeros(4)}), {}, ValueError, "cannot be written"),
    "wide-space-in-name": ((POINTS, {"a\u3000b": np.zeros(4)}), {}, ValueError, "cannot be written"),
    "name-not-str": ((POINTS, {1: np.zeros(4)}), {}, TypeError, "field names must be str, not int"),
    "fields-not-mapping": ((POINTS, [np.zeros(4)]), {}, TypeError, "fields must be a mapping .*, not list"),
    # Any mapping, read in its order: the first bad field named is the mapping's first.
    "mapping-proxy": ((POINTS, MappingProxyType({"z2": np.zeros(4, bool), "a1": np.zeros(4, bool)})), {}, TypeError,
                      "field 'z2' has dtype bool"),
    "encoding": ((POINTS,), {"encoding": "zip"}, ValueError, "encoding must be 'ascii', 'binary' or"),
    "width-height": ((POINTS,), {"width": 3, "height": 2}, ValueError, r"WIDTH 3 \* HEIGHT 2 must equal"),
    "numpy-integers": ((POINTS,), {"width": np.int64(3), "height": np.uint8(2)}, ValueError, r"WIDTH 3 \* HEIGHT 2"),
    "height-not-dividing": ((POINTS,), {"height": 3}, ValueError, "must equal the number of points, 4"),
    "negative-width": ((POINTS,), {"width": -1}, ValueError, "^width must be from 0 to 2147483647, not -1$"),
    "width-past-64-bits": ((POINTS,), {"width": 2**64}, ValueError, "^width must be from 0 to 2147483647, not an"),
    "height-past-64-bits": ((POINTS,), {"height": 2**64}, ValueError, "^height must be from 0 to 2147483647, not"),
    "height-past-32-bits": ((POINTS,), {"height": 2**31}, ValueError, "^height must be .*, not 2147483648$"),
    "float-width": ((POINTS,), {"width": 4.0}, TypeError, "^width must be an integer, not float$"),
    "viewpoint-length": ((POINTS,), {"viewpoint": (0,) * 6}, ValueError, "viewpoint must be 7 real numbers .*holds 6"),
    "viewpoint-str": ((POINTS,), {"viewpoint": "1234567"}, TypeError, r"viewpoint must be 7 real numbers .*, not str$"),
    "viewpoint-str-value": ((POINTS,), {"viewpoint": (0, 0, "0", 1, 0, 0, 0)}, TypeError, "value 2 is of type str$"),
}


def folder_state(folder):
    return {p.name: p.read_bytes() for p in folder.iterdir()}


@pytest.mark.parametrize("args, kwargs, error, message", BAD_ARGUMENTS.values(), ids=BAD_ARGUMENTS.keys())
def test_bad_arguments_leave_the_target_untouched(tmp_path, args, kwargs, error, message):
    target = tmp_path / "kept.pcd"
    target.write_bytes(b"the previous file")
    with pytest.raises(error, match=message):
        tessarel.save_pcd(target, *args, **kwargs)
    assert folder_state(tmp_path) == {"kept.pcd": b"the previous file"}


@pytest.mark.parametrize("target, error", [("missing/cloud.pcd", FileNotFoundError), ("folder", IsADirectoryError)])
def test_file_system_errors_are_os_errors(tmp_path, target, error):
    (tmp_path / "folder").mkdir()
    with pytest.raises(error) as raised:
        tessarel.save_pcd(tmp_path / target, POINTS)
    assert raised.value.filename == str(tmp_path / target)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["folder"]


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_a_full_disk_leaves_the_previous_file(tmp_path, encoding):
    """The file size limit stands in for a full disk: the write fails part way."""
    target = tmp_path / "kept.pcd"
    target.write_bytes(b"the previous file")
    code = textwrap.dedent("""
        import resource, signal, sys, numpy as np, tessarel
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, 100_000))
        points = np.random.default_rng(0).random((200_000, 3)).astype(np.float32)
        try:
            tessarel.save_pcd(sys.argv[1], points, encoding=sys.argv[2])
        except OSError as error:
            print(type(error).__name__, error.errno)
    """)
    run = subprocess.run([sys.executable, "-c", code, str(target), encoding], capture_output=True, text=True, timeout=60)
    assert run.stdout.split() == ["OSError", "27"], run.stdout + run.stderr  # EFBIG
    assert folder_state(tmp_path) == {"kept.pcd": b"the previous file"}


def test_saved_file_takes_the_mode_of_the_one_it_replaces(tmp_path):
    target = tmp_path / "cloud.pcd"
    target.write_bytes(b"")
    os.chmod(target, 0o640)
    tessarel.save_pcd(target, POINTS)
    assert os.stat(target).st_mode & 0o777 == 0o640
    link = tmp_path / "link.pcd"
    link.symlink_to(target)
    tessarel.save_pcd(link, POINTS, encoding="ascii")
    assert link.is_symlink() and tessarel.load_pcd_header(target)["data"] == "ascii"
