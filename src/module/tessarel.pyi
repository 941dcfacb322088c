"""Fast PCD loading (ASCII, binary, binary_compressed)"""

from typing import Any, TypeAlias, TypedDict

import numpy as np

# x, y, z of every point, as float32.
Points: TypeAlias = np.ndarray[tuple[int, int], np.dtype[np.float32]]
# One value per point (COUNT 1) or one row per point (any other COUNT), of the field's type.
FieldArray: TypeAlias = np.ndarray[tuple[int] | tuple[int, int], np.dtype[Any]]

__version__: str

def load_pcd(filename: str | bytes | bytearray) -> tuple[Points, dict[str, FieldArray]]:
    """
    Load a PCD file into NumPy arrays.

    Returns:
        points: np.ndarray of shape (N,3) with x,y,z
        fields: dict of other NumPy arrays with arbitrary names, each of shape
            (N,) or (N, COUNT) with its field's dtype
    """

class PcdHeader(TypedDict):
    version: str
    fields: list[tuple[str, str, int, int]]  # name, type letter, size, count
    width: int
    height: int
    points: int
    viewpoint: tuple[float, float, float, float, float, float, float]  # tx ty tz qw qx qy qz
    data: str

def load_pcd_header(filename: str | bytes | bytearray) -> PcdHeader:
    """
    Read the header of a PCD file, without its data.

    Returns a dict:
        version: the VERSION value as written ("" without one)
        fields: list of (name, type letter, size, count)
        width, height: the cloud's organisation; points: the point count
        viewpoint: (tx, ty, tz, qw, qx, qy, qz), the sensor pose
        data: the encoding, lower-cased
    """
