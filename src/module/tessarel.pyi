"""Fast PCD loading (ASCII, binary, binary_compressed)"""

import os
from collections.abc import Iterable, Iterator, Mapping
from types import TracebackType
from typing import Any, Literal, Protocol, SupportsIndex, TypeAlias, TypedDict

import numpy as np
import numpy.typing as npt
from typing_extensions import Buffer, Self  # what 3.12 and 3.11 add to collections.abc and typing

# x, y, z of every point, as float32.
Points: TypeAlias = np.ndarray[tuple[int, int], np.dtype[np.float32]]
# One value per point (COUNT 1) or one row per point (any other COUNT), of the field's type.
FieldArray: TypeAlias = np.ndarray[tuple[int] | tuple[int, int], np.dtype[Any]]

# A file name, as Python's own I/O functions take it.
FileName: TypeAlias = str | bytes | bytearray | os.PathLike[str] | os.PathLike[bytes]

__version__: str

def load_pcd(
    filename: FileName, fields: Iterable[str] | None = None, *, mmap: bool = False
) -> tuple[Points, dict[str, FieldArray]]:
    """
    Load a PCD file into NumPy arrays.

    Returns:
        points: np.ndarray of shape (N,3) with x,y,z
        fields: dict of other NumPy arrays with arbitrary names, each of shape
            (N,) or (N, COUNT) with its field's dtype; an x, y or z field that
            is not float32 with COUNT 1 is there too, with its exact values

    fields: an iterable of field names (not a single str). Only those fields,
        and x, y and z for points, are decoded and kept; the dict is the whole
        load's restricted to those names. A name the file lacks raises
        KeyError. In ASCII data, a bad value in a field not named is not read.
    mmap: with a binary file, the arrays are views of a private, copy-on-write
        mapping of the file: the call returns at once whatever the file's
        size, pages are read when touched, and writes never reach the file
        (points is a view when x, y, z are consecutive F 4 fields). The file
        must not be truncated while mapped: that kills the process with
        SIGBUS. Other encodings are read as without mmap.
    """

def load_pcd_buffer(data: Buffer, fields: Iterable[str] | None = None) -> tuple[Points, dict[str, FieldArray]]:
    """
    Load a PCD file held in memory into NumPy arrays, as load_pcd does.

    data: bytes, bytearray, memoryview, mmap.mmap, a uint8 NumPy array, or any
        C-contiguous object with the buffer protocol; it is read without a copy
    fields: an iterable of field names to keep, as load_pcd takes it
    """

class PcdHeader(TypedDict):
    version: str
    fields: list[tuple[str, str, int, int]]  # name, type letter, size, count
    width: int
    height: int
    points: int
    viewpoint: tuple[float, float, float, float, float, float, float]  # tx ty tz qw qx qy qz
    data: str

def load_pcd_header(filename: FileName) -> PcdHeader:
    """
    Read the header of a PCD file, without its data.

    Returns a dict:
        version: the VERSION value as written ("" without one)
        fields: list of (name, type letter, size, count)
        width, height: the cloud's organisation; points: the point count
        viewpoint: (tx, ty, tz, qw, qx, qy, qz), the sensor pose
        data: the encoding, lower-cased
    """

class PcdIterator(Iterator[tuple[Points, dict[str, FieldArray]]]):
    """
    The chunks of a PCD file, from iter_pcd: an iterator of (points, fields)
    pairs, and a context manager that closes the file on exit.
    """

    @property
    def header(self) -> PcdHeader:
        """What load_pcd_header gives for the file, read when the iterator opened it."""
    def __iter__(self) -> Self: ...
    def __next__(self) -> tuple[Points, dict[str, FieldArray]]: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...
    def close(self) -> None:
        """Close the file; the iterator then yields nothing more."""

def iter_pcd(
    filename: FileName, chunk_points: SupportsIndex = 1_000_000, fields: Iterable[str] | None = None
) -> PcdIterator:
    """
    Read a PCD file a chunk of points at a time, in file order.

    Returns an iterator of (points, fields) pairs, as load_pcd gives them, for
    consecutive runs of chunk_points points: every chunk but the last holds
    exactly chunk_points, and a cloud of 0 points yields none. A chunk's
    arrays stay valid after the iterator moves on.

    chunk_points: the points of each chunk, an integer of 1 or more
    fields: an iterable of field names to keep, as load_pcd takes it

    The header attribute holds what load_pcd_header gives, before the first
    chunk. The iterator is a context manager: the file is closed at the end of
    a with block, after the last chunk, by close(), or when it is collected.
    An error is raised at the chunk where it occurs, with the message a whole
    load gives, and ends the iteration: so does an exception that interrupts
    a chunk, such as KeyboardInterrupt, and every later call raises
    RuntimeError, so that no chunk is skipped unnoticed. binary and ascii
    chunks hold only their own points; the chosen columns of a
    binary_compressed file are decoded at the first chunk, and every chunk is
    a view of them. The iterator belongs to the process that made it.
    """

def save_pcd(
    filename: FileName,
    points: npt.ArrayLike,
    fields: Mapping[str, npt.ArrayLike] | None = None,
    *,
    encoding: Literal["binary", "ascii", "binary_compressed"] = "binary",
    width: SupportsIndex | None = None,
    height: SupportsIndex | None = None,
    viewpoint: Iterable[float] | None = None,
) -> None:
    """
    Save points and fields as a PCD file, exactly.

    points: array of shape (N,3), float32 (written as F 4) or float64 (F 8)
    fields: dict, or any mapping, of name -> array of shape (N,) or
        (N, COUNT), float32, float64 or any integer of 8 to 64 bits; x, y
        or z here takes the place of that column of points, in its own dtype
    encoding: "binary", "ascii" or "binary_compressed"
    width, height: integers, the cloud's organisation (default N x 1)
    viewpoint: 7 real numbers (tx, ty, tz, qw, qx, qy, qz), default
        (0, 0, 0, 1, 0, 0, 0)

    The file is written under a temporary name beside it and put in place
    only when complete: on any error, an existing file is left as it was.
    """

class PcdWriter:
    """
    A PCD file written scan by scan, in bounded memory.

        with tessarel.PcdWriter("map.pcd", encoding="binary") as out:
            for points, fields in scans:
                out.write(points, fields)

    encoding: "binary", "ascii" or "binary_compressed"
    viewpoint: 7 real numbers (tx, ty, tz, qw, qx, qy, qz), default
        (0, 0, 0, 1, 0, 0, 0)
    height: the rows of an organized cloud, 1 or more; WIDTH is the total
        divided by it (default: one row of every point)

    The first write fixes the fields: names, dtypes, counts, and which of
    x, y and z come from fields. Leaving the block completes the file; an
    exception in it, or abort(), leaves the target as it was, as does a
    writer collected before it completed. A write that fails discards the
    file: closing then raises RuntimeError, so that the loss is never
    silent, even where the write's own error was caught. binary and ascii
    write each part as it comes and need a target that can seek;
    binary_compressed keeps its compressed columns in memory until the
    end. A writer is used from one thread at a time, in the process that
    made it.
    """

    def __init__(
        self,
        filename: FileName,
        *,
        encoding: Literal["binary", "ascii", "binary_compressed"] = "binary",
        viewpoint: Iterable[float] | None = None,
        height: SupportsIndex | None = None,
    ) -> None: ...
    def write(self, points: npt.ArrayLike, fields: Mapping[str, npt.ArrayLike] | None = None) -> None:
        """
        Write the next points, with what save_pcd takes, checked as it checks it.

        A write whose fields differ from the first write's raises ValueError
        and writes nothing; one that fails while writing (a full disk, Ctrl-C)
        discards the file.
        """
    def close(self) -> None:
        """
        Complete the file, as leaving the with block does: the point count is
        written into the header and the file put in the target's place. A
        total that does not fill rows of `height` raises ValueError and
        leaves the target as it was. After a failure, here or in a write,
        every call but abort() raises RuntimeError that says the file was
        discarded, from the failure's own error. Closing a completed file
        again does nothing.
        """
    def abort(self) -> None:
        """
        Discard the file before it is complete: the target stays as it was.
        """
    def __enter__(self) -> PcdWriter: ...
    def __exit__(self, exc_type: object, exc_value: object, traceback: object) -> Literal[False]: ...

def unpack_rgb(values: npt.ArrayLike, *, alpha: bool = False) -> np.ndarray[tuple[int, int], np.dtype[np.uint8]]:
    """
    Unpack colours stored as PCL stores them: 0xAARRGGBB in a uint32 or in
    the bits of a float32, such as an rgb or rgba field.

    values: array of shape (N,), float32 or uint32 (int32 too)
    alpha: also return alpha, from the top byte

    Returns (N, 3) uint8 red, green, blue, or (N, 4) with alpha.
    """
def pack_rgb(
    colours: npt.ArrayLike, dtype: npt.DTypeLike = "float32"
) -> np.ndarray[tuple[int], np.dtype[np.float32 | np.uint32]]:
    """
    Pack colours as PCL stores them, the inverse of unpack_rgb.

    colours: uint8 array of shape (N, 3), red, green, blue, or (N, 4) with
        alpha; without alpha the top byte is 0, so no packed float is a NaN
    dtype: float32 (an rgb field) or uint32 (as rgba fields are)

    Returns an array of shape (N,) of dtype, holding 0xAARRGGBB.
    """

class PointFieldLike(Protocol):
    name: str
    offset: int
    datatype: int
    count: int

class PointCloud2Like(Protocol):
    height: int
    width: int
    fields: Iterable[PointFieldLike]
    is_bigendian: bool
    point_step: int
    row_step: int
    data: Buffer

def from_pointcloud2(msg: PointCloud2Like) -> tuple[Points, dict[str, FieldArray]]:
    """
    Read a ROS PointCloud2 message into NumPy arrays, as load_pcd reads the
    same cloud from a file: (points, fields) with the same dtypes and names.

    msg: any object with PointCloud2's attributes (height, width, fields
        with name, offset, datatype and count, is_bigendian, point_step,
        row_step, data), such as the messages of rosbags, rclpy or rospy;
        data is any buffer: bytes, array.array or a uint8 NumPy array

    Fields are views over data, which they keep alive, when one stride
    reaches their values; big-endian data, and rows with gaps between them,
    are copied. A message whose fields overlap, reach past point_step, or
    have an unknown datatype, or whose data is too short, raises ValueError.
    """

class PointCloud2Attributes(TypedDict):
    height: int
    width: int
    fields: list[tuple[str, int, int, int]]
    is_bigendian: bool
    point_step: int
    row_step: int
    data: bytes
    is_dense: bool

def to_pointcloud2(
    points: npt.ArrayLike,
    fields: Mapping[str, npt.ArrayLike] | None = None,
    *,
    height: SupportsIndex | None = None,
) -> PointCloud2Attributes:
    """
    Lay out points and fields, as save_pcd takes them, as a ROS PointCloud2
    message: the fields packed in order, little-endian.

    height: the rows of an organized cloud (default 1, or N / height points
        a row)

    Returns a dict of the message's attributes: height, width, fields as
    (name, offset, datatype, count) tuples, is_bigendian, point_step,
    row_step, data as bytes, and is_dense (no NaN in x, y or z). A field of
    64-bit integers, which PointCloud2 cannot type, raises TypeError.
    """
