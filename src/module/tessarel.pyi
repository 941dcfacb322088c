"""Fast PCD loading (ASCII, binary, binary_compressed)"""

import os
from collections.abc import Buffer
from typing import Any, TypeAlias, TypedDict

import numpy as np

# x, y, z of every point, as float32.
Points: TypeAlias = np.ndarray[tuple[int, int], np.dtype[np.float32]]
# One value per point (COUNT 1) or one row per point (any other COUNT), of the field's type.
FieldArray: TypeAlias = np.ndarray[tuple[int] | tuple[int, int], np.dtype[Any]]

# A file name, as Python's own I/O functions take it.
FileName: TypeAlias = str | bytes | bytearray | os.PathLike[str] | os.PathLike[bytes]

__version__: str

def load_pcd(filename: FileName) -> tuple[Points, dict[str, FieldArray]]:
    """
    Load a PCD file into NumPy arrays.

    Returns:
        points: np.ndarray of shape (N,3) with x,y,z
        fields: dict of other NumPy arrays with arbitrary names, each of shape
            (N,) or (N, COUNT) with its field's dtype; an x, y or z field that
            is not float32 with COUNT 1 is there too, with its exact values
    """

def load_pcd_buffer(data: Buffer) -> tuple[Points, dict[str, FieldArray]]:
    """
    Load a PCD file held in memory into NumPy arrays, as load_pcd does.

    data: bytes, bytearray, memoryview, mmap.mmap, a uint8 NumPy array, or any
        C-contiguous object with the buffer protocol; it is read without a copy
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
