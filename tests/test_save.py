"""save_pcd and PcdWriter: every encoding reads back bit for bit, bad arguments fail before
anything is written, and a failed save leaves the target as it was."""

import glob
import os
import stat
import subprocess
import sys
import tempfile
import textwrap
import threading
from pathlib import Path
from types import MappingProxyType

import numpy as np
import pytest
from conftest import DATA

import dev_build
import tessarel
from pcd_writer import DTYPES, ENCODINGS
from project_files import ROOT

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


def column(dtype, points: int, count: int) -> np.ndarray:
    if count == 1:
        return extremes(dtype, points)
    return np.stack([extremes(dtype, points) for _ in range(count)], axis=-1) if count else np.zeros((points, 0), dtype)


def cloud(points: int, coordinates=np.float32, **shapes):
    """Points and fields: name -> (dtype, count), values with extremes."""
    xyz = np.stack([extremes(coordinates, points) for _ in range(3)], axis=1)
    return xyz, {name: column(dtype, points, count) for name, (dtype, count) in shapes.items()}


def colours(points: int, dtype="<f4") -> np.ndarray:
    """Packed colours of alpha 255 as float32: those of red 128 or more are NaN bit patterns."""
    return (RNG.integers(0, 1 << 24, points, dtype=np.uint32) | np.uint32(0xFF000000)).view(np.float32).astype(dtype)


ALL_TYPES = {f"{t}{s}": (DTYPES[(t, s)], 1) for t, s in DTYPES}
CLOUDS = {
    "ten-dtypes": lambda: cloud(40, **ALL_TYPES),
    "counts": lambda: cloud(25, normal=(np.float32, 3), hist=(np.uint16, 33), one=(np.int8, 1)),
    "float64-points": lambda: cloud(30, np.float64, intensity=(np.float32, 1)),
    "integer-x": lambda: cloud(30, x=(np.int32, 1), y=(np.uint8, 1), z=(np.float64, 1)),
    "padding": lambda: cloud(10, _=(np.uint8, 3), label=(np.uint32, 1)),
    "padding-last": lambda: cloud(10, label=(np.uint32, 1), _=(np.float32, 1)),
    "colours": lambda: (lambda p, f: (p, {**f, "rgb": colours(30), "rgba": colours(30, ">f4")}))(
        *cloud(30, intensity=(np.float32, 1))),
    "count-0": lambda: cloud(10, empty=(np.float32, 0), label=(np.uint16, 1), none=(np.int64, 0)),
    "no-points": lambda: cloud(0, intensity=(np.float32, 1), n=(np.float64, 2)),
    "one-point": lambda: cloud(1, rgb=(np.uint32, 1)),
    # More points than the 32 a binary save gathers at a time, value by value for these.
    "big-endian": lambda: cloud(70, t=(">f8", 1), k=(">i2", 3), u=(">u4", 1)),
    "strided": lambda: (lambda p, f: (p[::2], {"i": f["i"][::-2], "n": np.asfortranarray(f["n"])[::2]}))(
        *cloud(140, i=(np.uint16, 1), n=(np.float32, 3))),
    # Records of 248 bytes: a save of several pieces, the last one partly filled, made on helper threads.
    "many-pieces": lambda: cloud(17_011, intensity=(np.float32, 1), n=(np.float64, 29)),
}


def bits(array: np.ndarray, encoding: str) -> bytes:
    """The bytes of the values in native order; text keeps no NaN payload, so NaNs are made one."""
    array = np.ascontiguousarray(array, array.dtype.newbyteorder("="))
    if encoding == "ascii" and array.dtype.kind == "f":
        array = np.where(np.isnan(array), np.copysign(np.nan, np.signbit(array) * -2.0 + 1), array).astype(array.dtype)
    return array.tobytes()


def expected_load(points: np.ndarray, fields: dict, encoding: str) -> tuple[np.ndarray, dict]:
    """What a load returns: binary_compressed leaves padding fields `_` out, and ascii writes float32
    packed colours as their bits, U 4."""
    if encoding == "binary_compressed":
        fields = {name: values for name, values in fields.items() if name != "_"}
    if encoding == "ascii":
        fields = {name: values.astype(values.dtype.newbyteorder("=")).view(np.uint32)
                  if name in ("rgb", "rgba") and values.dtype.kind == "f" and values.dtype.itemsize == 4 else values
                  for name, values in fields.items()}
    columns = {name: points[:, i] for i, name in enumerate("xyz")}
    columns.update({name: fields[name] for name in "xyz" if name in fields})
    extra = {name: columns[name] for name in "xyz" if columns[name].dtype != np.float32}
    extra.update({name: values for name, values in fields.items() if name not in "xyz"})
    with np.errstate(over="ignore"):  # float64 extremes become float32 infinities, as they do in the reader
        return np.stack([columns[name] for name in "xyz"], axis=1).astype(np.float32), extra


def mixed(points: int = 30):
    """A cloud of what a writer treats apart: a coordinate given as a field, padding, a packed
    colour, big-endian values and a field of COUNT 3."""
    xyz, fields = cloud(points, x=(np.float64, 1), normal=(np.float32, 3), _=(np.uint8, 2), label=(">u2", 1))
    return xyz, fields | {"rgb": colours(points)}


def save(path, points, fields, encoding, writes):
    """Saves with save_pcd (writes None) or with a PcdWriter in `writes` parts, the second of
    three empty; returns the cloud written: the concatenation of the parts."""
    if writes is None:
        tessarel.save_pcd(path, points, fields, encoding=encoding)
        return points, fields
    cuts = writes if isinstance(writes, list) else {
        0: [], 1: [0, len(points)], 3: [0, len(points) // 3, len(points) // 3, len(points)]}[writes]
    with tessarel.PcdWriter(path, encoding=encoding) as out:
        for start, stop in zip(cuts, cuts[1:]):
            out.write(points[start:stop], {name: values[start:stop] for name, values in fields.items()})
    return (points, fields) if writes else (np.zeros((0, 3), np.float32), {})


# Every cloud saved by save_pcd, and a mixed one written in parts; then a write made on one thread
# before one made on two, in the buffers the first left; and an ascii write of 9 pieces, written as
# a save writes it, between two handed to the writer's thread.
SAVES = {name: (make, None) for name, make in CLOUDS.items()} | {
    f"writer-{writes}-writes": (mixed, writes) for writes in (0, 1, 3)} | {
    "writer-small-then-large": (lambda: cloud(40_000, intensity=(np.float32, 1)), [0, 10, 40_000]),
    "writer-around-a-whole-part": (lambda: cloud(9_000, normal=(np.float32, 29)), [0, 10, 8_990, 9_000])}


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("make, writes", SAVES.values(), ids=SAVES.keys())
def test_round_trip_is_exact(tmp_path, make, writes, encoding):
    path = tmp_path / "cloud.pcd"
    points, fields = save(path, *make(), encoding, writes)
    header = tessarel.load_pcd_header(path)
    assert (header["width"], header["height"], header["points"]) == (len(points), 1, len(points))
    loaded_points, loaded = tessarel.load_pcd(path)
    want_points, want = expected_load(points, fields, encoding)
    assert bits(loaded_points, encoding) == bits(want_points, encoding)
    assert list(loaded) == [name for name in want if name in loaded] and sorted(loaded) == sorted(want)
    for name, values in want.items():
        assert loaded[name].dtype == values.dtype.newbyteorder("="), name
        assert bits(loaded[name], encoding) == bits(values, encoding), name


PCL_TYPES = dict(enumerate([np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.float32, np.float64,
                            np.int64, np.uint64], start=1))


@pytest.fixture(scope="module")
def pcl_reader() -> Path:
    """PCL's reader, where libpcl-dev is installed; CI sets TESSAREL_REQUIRE_PCL, so that a
    missing PCL fails there instead of skipping."""
    if not glob.glob("/usr/lib/*/cmake/pcl/PCLConfig.cmake"):
        if os.environ.get("TESSAREL_REQUIRE_PCL"):
            pytest.fail("TESSAREL_REQUIRE_PCL is set, but PCL is not installed (Debian's libpcl-dev)")
        pytest.skip("PCL is not installed (Debian's libpcl-dev)")
    options = ["TESSAREL_DEV_TOOLS=OFF", "TESSAREL_PCL_READER=ON"]
    return dev_build.build(["pcl_reader"], ROOT / "build" / "pcl", options)[0]


def pcl_read(reader: Path, path: Path) -> dict:
    """The fields as PCL reads them, in its order: name -> array of shape (N, COUNT)."""
    environment = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # the sanitizers' runtimes
    lines = subprocess.run([reader, path], capture_output=True, text=True, env=environment, timeout=60,
                           check=True).stdout.splitlines()
    points = int(lines[0].split()[1])
    fields = {}
    for line in lines[1:]:
        name, datatype, count, *data = line.split()
        fields[name] = np.frombuffer(bytes.fromhex("".join(data)), PCL_TYPES[int(datatype)]).reshape(points, int(count))
    return fields


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("make, writes", SAVES.values(), ids=SAVES.keys())
def test_pcl_reads_what_tessarel_loads(tmp_path, pcl_reader, make, writes, encoding):
    path = tmp_path / "cloud.pcd"
    save(path, *make(), encoding, writes)
    loaded_points, loaded = tessarel.load_pcd(path)
    ours = {name: loaded_points[:, i] for i, name in enumerate(("x", "y", "z"))} | loaded
    theirs = pcl_read(pcl_reader, path)
    # PCL leaves out fields of COUNT 0, which hold nothing.
    held = [name for name, values in loaded.items() if values.ndim == 1 or values.shape[1] > 0]
    assert list(theirs) == ["x", "y", "z"] + [name for name in held if name not in ("x", "y", "z")]
    for name, values in theirs.items():
        mine = ours[name].reshape(values.shape)
        assert values.dtype == mine.dtype, name
        if encoding == "ascii" and name == "_":
            continue  # PCL skips the text of padding, which it reads as zeros
        if encoding == "ascii" and values.dtype.kind in "iu" and values.dtype.itemsize == 8:
            # PCL 1.13 reads most integers of ASCII text through a double: only those within 2^53 exactly.
            exact = np.abs(mine.astype(np.float64)) <= 2.0**53
            values, mine = values[exact], mine[exact]
        assert bits(values, encoding) == bits(mine, encoding), name


# A binary_compressed PcdWriter gathers writes into 32 MiB of records before it compresses them, here 7
# points of a field wider than a compressed piece; a binary one hands writes of up to 8 MiB, here 2
# points, to a thread: writes cut across both, with one of a single point and an empty one, each first
# write larger or smaller than the staging. That thread holds back what a write holds past the file's
# last MiB boundary until the next; "held-back" leaves it to a larger write, then to completion.
STAGED_CUTS = {"larger-first": [0, 8, 9, 9, 17, 20], "smaller-first": [0, 1, 1, 7, 13, 20],
               "held-back": [0, 1, 9, 19, 20]}


@pytest.mark.parametrize("encoding", ["binary", "binary_compressed"])
@pytest.mark.parametrize("cuts", STAGED_CUTS.values(), ids=STAGED_CUTS.keys())
def test_writes_across_the_writers_buffers(tmp_path, cuts, encoding):
    path = tmp_path / "map.pcd"
    points, fields = cloud(20, label=(np.uint16, 1))
    fields["wide"] = np.zeros((20, (4 << 20) + 8), np.uint8)  # its pieces are points told apart by their start
    fields["wide"][:, :64] = RNG.integers(0, 256, (20, 64), dtype=np.uint8)
    save(path, points, fields, encoding, cuts)
    loaded_points, loaded = tessarel.load_pcd(path)
    assert loaded_points.tobytes() == points.tobytes()
    assert all(loaded[name].tobytes() == values.tobytes() for name, values in fields.items())


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("streamed", [False, True], ids=["save_pcd", "PcdWriter"])
def test_organized_cloud_and_viewpoint(tmp_path, encoding, streamed):
    points, fields = cloud(12, intensity=(np.float32, 1))
    path = tmp_path / "organized.pcd"
    pose = (0.1, -2, 1e-300, 0.5, 0.5, 0.5, 0.5)
    if streamed:
        with tessarel.PcdWriter(path, encoding=encoding, height=3, viewpoint=pose) as out:
            for rows in (slice(0, 5), slice(5, 12)):  # parts need not be whole rows
                out.write(points[rows], {"intensity": fields["intensity"][rows]})
    else:
        tessarel.save_pcd(path, points, fields, encoding=encoding, height=3, viewpoint=pose)
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
        _, want = expected_load(points, fields, encoding)
        assert bits(again_points, encoding) == bits(points, encoding), encoding
        assert list(again) == [name for name in fields if name in want]
        for name in want:
            assert bits(again[name], encoding) == bits(want[name], encoding), (encoding, name)


POINTS = np.zeros((4, 3), np.float32)
# One point repeated: no memory. A 32-bit NumPy indexes no more than 2^31 - 1 points.
INDEXES_64_BITS = sys.maxsize >= 2**32
BEYOND_INT32 = np.broadcast_to(np.float32([1, 2, 3]), (2**31, 3)) if INDEXES_64_BITS else None
beyond_int32 = pytest.mark.skipif(not INDEXES_64_BITS, reason="NumPy's indices are 32-bit here")
BAD_ARGUMENTS = {
    "points-dtype": ((POINTS.astype(np.int32),), {}, TypeError, "points has dtype int32"),
    "points-shape": ((POINTS[:, :2],), {}, ValueError, r"points has shape \(4, 2\)"),
    "bool-field": ((POINTS, {"b": np.zeros(4, bool)}), {}, TypeError, "field 'b' has dtype bool"),
    "float16-field": ((POINTS, {"h": np.zeros(4, np.float16)}), {}, TypeError, "field 'h' has dtype float16"),
    "complex-field": ((POINTS, {"c": np.zeros(4, complex)}), {}, TypeError, "field 'c' has dtype complex128"),
    "object-field": ((POINTS, {"o": np.array([None] * 4)}), {}, TypeError, "field 'o' has dtype object"),
    "structured-field": ((POINTS, {"s": np.zeros(4, "u1,u2")}), {}, TypeError, "field 's' has dtype"),
    "short-field": ((POINTS, {"i": np.zeros(3)}), {}, ValueError, r"field 'i' has shape \(3,\)"),
    "x-count-0": ((POINTS, {"x": np.zeros((4, 0), np.float32)}), {}, ValueError, r"field 'x' has shape \(4, 0\)"),
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
    "negative-width": ((POINTS,), {"width": -1}, ValueError, "^width must be from 0 to 9223372036854775807, not -1$"),
    "width-past-64-bits": ((POINTS,), {"width": 2**64}, ValueError, "^width must be from 0 to 9223372036854775807, "
                           "not an integer of 65 bits$"),
    "height-past-63-bits": ((POINTS,), {"height": 2**63}, ValueError, "^height must be .*, not an integer of 64 bits$"),
    "rows-past-64-bits": ((POINTS[:0],), {"width": 2**32, "height": 2**32}, ValueError,
                          r"^WIDTH 4294967296 \* HEIGHT 4294967296 must equal the number of points, 0$"),
    "compressed-past-its-block": pytest.param(
        (BEYOND_INT32,), {"encoding": "binary_compressed"}, ValueError,
        "^a binary_compressed block holds at most 4294967295 bytes of columns; 2147483648 points of 12 bytes take "
        "more: save as binary$", marks=beyond_int32),
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


def current_umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def mode(path) -> int:
    return stat.S_IMODE(os.stat(path).st_mode)


def saved(path):
    """The save wrote SAVED_POINTS there."""
    assert bits(tessarel.load_pcd(path)[0], "binary") == bits(SAVED_POINTS, "binary")


class Reader(threading.Thread):
    """Reads a FIFO to its end, as the process at its other end would."""
    def __init__(self, path):
        super().__init__()
        self.path, self.bytes = path, None
        self.start()

    def run(self):
        with open(self.path, "rb") as fifo:
            self.bytes = fifo.read()


class HeadReader(threading.Thread):
    """Reads the first bytes of a FIFO and closes it, which stops the writer at its next write.
    A daemon, so that a save that never opens the FIFO fails the test rather than hangs it."""
    def __init__(self, path):
        super().__init__(daemon=True)
        self.path, self.bytes = path, None
        self.start()

    def run(self):
        with open(self.path, "rb") as fifo:
            self.bytes = fifo.read(4096)


# More points, or rows, than a 32-bit count holds: the save is read through a FIFO up to its
# first point, which a save of gigabytes reaches at once.
@pytest.mark.parametrize(
    "encoding, organisation, rows, first_point",
    [
        ("binary", {}, b"WIDTH 2147483648\nHEIGHT 1", np.float32([1, 2, 3]).tobytes()),
        ("binary", {"height": 2**31}, b"WIDTH 1\nHEIGHT 2147483648", np.float32([1, 2, 3]).tobytes()),
        ("ascii", {"width": 2**31, "height": 1}, b"WIDTH 2147483648\nHEIGHT 1", b"1 2 3\n1 2 3\n"),
    ],
    ids=["binary", "binary-column", "ascii"],
)
@beyond_int32
def test_counts_beyond_int32(tmp_path, encoding, organisation, rows, first_point):
    fifo = tmp_path / "map.pcd"
    os.mkfifo(fifo)
    reader = HeadReader(fifo)
    with pytest.raises(BrokenPipeError):
        tessarel.save_pcd(fifo, BEYOND_INT32, encoding=encoding, **organisation)
    reader.join()
    head = (b"FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n" + rows +
            b"\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS 2147483648\nDATA " + encoding.encode() + b"\n")
    assert reader.bytes[reader.bytes.index(b"FIELDS"):].startswith(head + first_point)


class TemporaryModes(threading.Thread):
    """Watches the files this process holds open in a folder while it saves: their modes."""
    def __init__(self, folder, target):
        super().__init__()
        self.folder, self.target, self.modes, self.done = str(folder), str(target), set(), threading.Event()
        self.start()

    def run(self):
        while not self.done.is_set():
            for fd in os.listdir("/proc/self/fd"):
                try:
                    link = os.readlink(f"/proc/self/fd/{fd}")
                    if link.startswith(self.folder + "/") and not link.startswith(self.target):
                        self.modes.add(mode(f"/proc/self/fd/{fd}"))
                except OSError:
                    pass  # closed meanwhile

    def stop(self) -> set:
        self.done.set()
        self.join()
        return self.modes


def new_file(tmp_path):
    target = tmp_path / "new.pcd"
    return target, lambda: (saved(target), mode(target) == 0o666 & ~current_umask()) == (None, True)


def regular_file(tmp_path):
    target = tmp_path / "old.pcd"
    target.write_bytes(b"the previous file")
    target.chmod(0o640)
    inode = os.stat(target).st_ino
    return target, lambda: (saved(target), mode(target), os.stat(target).st_ino != inode) == (None, 0o640, True)


def setuid_file(tmp_path):
    target = tmp_path / "old.pcd"
    target.write_bytes(b"the previous file")
    target.chmod(0o6755)
    return target, lambda: (saved(target), mode(target)) == (None, 0o755)


def symbolic_link(tmp_path):
    (tmp_path / "file.pcd").write_bytes(b"the previous file")
    (tmp_path / "link.pcd").symlink_to("file.pcd")
    return tmp_path / "link.pcd", lambda: (saved(tmp_path / "file.pcd"), (tmp_path / "link.pcd").is_symlink())


def fifo(tmp_path):
    target = tmp_path / "fifo"
    os.mkfifo(target)
    reader = Reader(target)

    def after():
        reader.join()
        reference = tmp_path / "reference.pcd"
        tessarel.save_pcd(reference, SAVED_POINTS, encoding="binary_compressed")
        expected = reference.read_bytes()
        reference.unlink()
        return stat.S_ISFIFO(os.lstat(target).st_mode) and reader.bytes == expected
    return target, after


def char_device(tmp_path):
    """A node of /dev/null's device of its own, which a save that replaced it would replace, not the system's."""
    target = tmp_path / "null"
    try:
        os.mknod(target, stat.S_IFCHR | 0o666, os.makedev(1, 3))
    except PermissionError:
        pytest.skip("needs root, to make a device node")
    return target, lambda: stat.S_ISCHR(os.stat(target).st_mode) and os.stat(target).st_rdev == os.makedev(1, 3)


def link_into_proc(tmp_path):
    """As /dev/stdout leads to /proc/self/fd/1: the open file is written, not replaced."""
    file = tmp_path / "out.pcd"
    fd = os.open(file, os.O_WRONLY | os.O_CREAT, 0o644)
    inode = os.stat(file).st_ino
    (tmp_path / "stdout").symlink_to(f"/proc/self/fd/{fd}")

    def after():
        os.close(fd)
        return saved(file) is None and os.stat(file).st_ino == inode
    return tmp_path / "stdout", after


def folder(tmp_path):
    (tmp_path / "folder").mkdir()
    return tmp_path / "folder", lambda: list((tmp_path / "folder").iterdir()) == []


def long_name(tmp_path):
    target = tmp_path / ("n" * 251 + ".pcd")
    return target, lambda: saved(target) is None


def watched(tmp_path):
    """A large save, during which the temporary file is watched."""
    target = tmp_path / "watched.pcd"
    watch = TemporaryModes(tmp_path, target)
    def after():
        final = 0o666 & ~current_umask()
        return mode(target) == final and 0o600 in watch.stop() <= {0o600, final}  # the final bits once written
    return target, after


NOBODY = 65534


def as_nobody(action) -> str:
    """Runs `action` in a child process that runs as nobody (root may read and write anything),
    as this user where it is not root; what it returned, or what it raised."""
    read, write = os.pipe()
    child = os.fork()
    if child == 0:
        try:
            if os.geteuid() == 0:
                os.setgid(NOBODY)
                os.setuid(NOBODY)
            os.write(write, str(action()).encode())
        except OSError as error:
            os.write(write, f"{type(error).__name__} {error.filename}".encode())
        except Exception as error:
            os.write(write, f"{type(error).__name__}: {error}".encode())
        finally:
            os._exit(0)
    os.close(write)
    with os.fdopen(read, "rb") as said:
        outcome = said.read().decode()
    os.waitpid(child, 0)
    return outcome


def read_only(tmp_path):
    """A target its owner may not write, in a folder that owner may write."""
    shared = Path(tempfile.mkdtemp())
    shared.chmod(0o777)
    target = shared / "kept.pcd"
    target.write_bytes(b"the previous file")
    target.chmod(0o444)
    if os.geteuid() == 0:
        os.chown(target, NOBODY, NOBODY)
    outcome = as_nobody(lambda: tessarel.save_pcd(target, SAVED_POINTS))

    def after():
        state = folder_state(shared)
        target.unlink()
        shared.rmdir()
        return outcome == f"PermissionError {target}" and state == {"kept.pcd": b"the previous file"}
    return None, after


def foreign_folder(mode: int, owner: int):
    """A folder of `mode` beside the tests' own (which nobody cannot enter), holding a file of
    `owner` that anybody may write."""
    if os.geteuid() != 0:
        pytest.skip("root makes another user's file")
    shared = Path(tempfile.mkdtemp())
    target = shared / "kept.pcd"
    target.write_bytes(b"the previous file")
    target.chmod(0o666)
    os.chown(target, owner, owner)
    shared.chmod(mode)
    return shared, target


def written_through(shared, target, outcome) -> bool:
    """The file holds the points, as open(name, "wb") would have written them, and its owner."""
    owner = target.stat().st_uid
    state = folder_state(shared)
    target.unlink()
    shared.rmdir()
    return outcome == "None" and state.keys() == {"kept.pcd"} and owner != 0 and np.array_equal(
        tessarel.load_pcd_buffer(state["kept.pcd"])[0], SAVED_POINTS)


def sticky_folder(tmp_path):
    """Another user's file in a sticky folder, such as /tmp: no file of ours may take its place."""
    shared, target = foreign_folder(0o1777, 1)

    def write_map():
        with tessarel.PcdWriter(target) as out:
            out.write(SAVED_POINTS)
    outcome = as_nobody(write_map)
    return None, lambda: written_through(shared, target, outcome)


def read_only_folder(tmp_path):
    """Our own file in a folder we may not write."""
    shared, target = foreign_folder(0o755, NOBODY)
    outcome = as_nobody(lambda: tessarel.save_pcd(target, SAVED_POINTS))
    return None, lambda: written_through(shared, target, outcome)


def foreign_file(tmp_path):
    """Another user's file, replaced by root: it keeps its owner, group and mode."""
    if os.geteuid() != 0:
        pytest.skip("root makes another user's file")
    target = tmp_path / "theirs.pcd"
    target.write_bytes(b"the previous file")
    target.chmod(0o640)
    os.chown(target, NOBODY, NOBODY)
    return target, lambda: (target.stat().st_uid, target.stat().st_gid, mode(target)) == (NOBODY, NOBODY, 0o640)


SAVED_POINTS = np.arange(12, dtype=np.float32).reshape(4, 3)
LARGE = np.broadcast_to(np.float32(0.5), (1_000_000, 3))
# Where a save goes: what the target is, the error, the files the folder holds afterwards.
TARGETS = {
    "new-file": (new_file, None, ["new.pcd"]),
    "regular-file": (regular_file, None, ["old.pcd"]),
    "setuid-bit-not-kept": (setuid_file, None, ["old.pcd"]),
    "symbolic-link": (symbolic_link, None, ["file.pcd", "link.pcd"]),
    "fifo": (fifo, None, ["fifo"]),
    "char-device": (char_device, None, ["null"]),
    "link-into-proc": (link_into_proc, None, ["out.pcd", "stdout"]),
    "directory": (folder, IsADirectoryError, ["folder"]),
    "dot": (lambda tmp_path: (".", lambda: True), IsADirectoryError, []),
    "empty-name": (lambda tmp_path: ("", lambda: True), FileNotFoundError, []),
    "missing-folder": (lambda tmp_path: (tmp_path / "missing/cloud.pcd", lambda: True), FileNotFoundError, []),
    "name-of-255-bytes": (long_name, None, ["n" * 251 + ".pcd"]),
    "temporary-file-0600": (watched, None, ["watched.pcd"]),
    "read-only-as-nobody": (read_only, None, []),
    "sticky-folder-as-nobody": (sticky_folder, None, []),
    "read-only-folder-as-nobody": (read_only_folder, None, []),
    "foreign-file-keeps-its-owner": (foreign_file, None, ["theirs.pcd"]),
}


@pytest.mark.parametrize("prepare, error, files", TARGETS.values(), ids=TARGETS.keys())
def test_targets_are_written_as_open_would(tmp_path, monkeypatch, prepare, error, files):
    monkeypatch.chdir(tmp_path)  # where "." is
    target, holds = prepare(tmp_path)
    if target is not None:
        points = LARGE if prepare is watched else SAVED_POINTS
        encoding = "ascii" if prepare is watched else "binary_compressed"
        if error is None:
            tessarel.save_pcd(target, points, encoding=encoding)
        else:
            with pytest.raises(error) as raised:
                tessarel.save_pcd(target, points, encoding=encoding)
            assert raised.value.filename == str(target)
    assert holds() is not False
    assert sorted(p.name for p in tmp_path.iterdir()) == files


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_a_full_disk_leaves_the_previous_file(tmp_path, encoding):
    """The file size limit stands in for a full disk: the write fails part way."""
    target = tmp_path / "kept.pcd"
    target.write_bytes(b"the previous file")
    code = textwrap.dedent("""
        import resource, signal, sys, numpy as np, tessarel
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, 100_000))
        points = np.random.default_rng(0).random((400_000, 3)).astype(np.float32)
        try:
            # Separate arrays, whose records are gathered on helper threads while the write fails.
            tessarel.save_pcd(sys.argv[1], points, {"i": points[:, 0].copy()}, encoding=sys.argv[2])
        except OSError as error:
            print(type(error).__name__, error.errno)
    """)
    run = subprocess.run(
        [sys.executable, "-c", code, str(target), encoding], capture_output=True, text=True, timeout=60
    )
    assert run.stdout.split() == ["OSError", "27"], run.stdout + run.stderr  # EFBIG
    assert folder_state(tmp_path) == {"kept.pcd": b"the previous file"}




@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("writes", [None, 3], ids=["save_pcd", "PcdWriter"])
def test_no_blocks_are_left_past_the_end(tmp_path, encoding, writes):
    """Blocks are allocated ahead of large writes: only those the file then fills, whatever its
    writes' sizes. One block of slack is for the file system's own index."""
    path = tmp_path / "cloud.pcd"
    points = np.random.default_rng(0).random((300_000, 3)).astype(np.float32)
    save(path, points, {"label": np.arange(300_000, dtype=np.uint32)}, encoding, writes)
    size = path.stat().st_size
    assert path.stat().st_blocks * 512 <= (size + 4095) // 4096 * 4096 + 4096
