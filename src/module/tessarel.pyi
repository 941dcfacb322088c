"""Fast PCD loading (ASCII, binary, binary_compressed)"""

from typing import Any, TypeAlias

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
