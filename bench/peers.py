"""The loaders under comparison, each as `load(path) -> result` and `arrays(result)`.

`arrays` turns a loader's result into {field name: array} (x, y, z as their own entries), so
that each loader's values can be checked against tessarel's before it is timed. Peers that
fail to import are reported with the reason.
"""

import importlib
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np


@dataclass
class Loader:
    name: str
    load: Callable[[str], Any]
    arrays: Callable[[Any], dict[str, np.ndarray]]


def split_points(points: np.ndarray, fields: dict[str, np.ndarray] | None = None) -> dict[str, np.ndarray]:
    out = {axis: points[:, i] for i, axis in enumerate("xyz")}
    out.update(fields or {})
    return out


def tessarel_loader() -> Loader:
    tessarel = importlib.import_module("tessarel")
    return Loader("tessarel", tessarel.load_pcd, lambda result: split_points(*result))


def pypcd4_loader() -> Loader:
    pypcd4 = importlib.import_module("pypcd4")

    def arrays(cloud: Any) -> dict[str, np.ndarray]:
        return {name: cloud.pc_data[name] for name in cloud.pc_data.dtype.names}

    return Loader("pypcd4", pypcd4.PointCloud.from_path, arrays)


def pcd_py_loader() -> Loader:
    pcd_py = importlib.import_module("pcd_py")
    return Loader("pcd-py", pcd_py.read_pcd, lambda result: dict(result[1]))


def open3d_loader() -> Loader:
    o3d = importlib.import_module("open3d")

    def arrays(cloud: Any) -> dict[str, np.ndarray]:
        out = split_points(np.asarray(cloud.points))
        if cloud.has_normals():
            out.update(zip(["normal_x", "normal_y", "normal_z"], np.asarray(cloud.normals).T))
        return out

    return Loader("open3d", o3d.io.read_point_cloud, arrays)


def open3d_tensor_loader() -> Loader:
    o3d = importlib.import_module("open3d")
    # Attribute names that open3d.t gives to PCD fields.
    renamed = {"positions": ["x", "y", "z"], "normals": ["normal_x", "normal_y", "normal_z"]}

    def arrays(cloud: Any) -> dict[str, np.ndarray]:
        out = {}
        for key in cloud.point:
            if key == "colors":  # unpacked from rgb into 8-bit channels: not comparable
                continue
            values = cloud.point[key].numpy()
            names = renamed.get(key, [key])
            out.update(zip(names, values.reshape(len(values), -1).T))
        return out

    return Loader("open3d.t", o3d.t.io.read_point_cloud, arrays)


FACTORIES = {
    "tessarel": tessarel_loader,
    "pypcd4": pypcd4_loader,
    "open3d": open3d_loader,
    "open3d.t": open3d_tensor_loader,
    "pcd-py": pcd_py_loader,
}


def available() -> tuple[list[Loader], dict[str, str]]:
    """The loaders that import, and the reason for each that does not."""
    loaders, missing = [], {}
    for name, factory in FACTORIES.items():
        try:
            loaders.append(factory())
        except Exception as error:  # an import error, or a missing system library
            missing[name] = f"{type(error).__name__}: {error}"
    return loaders, missing


def differences(expected: dict[str, np.ndarray], got: dict[str, np.ndarray]) -> list[str]:
    """Fields that a loader returned with other values than tessarel's (NaN equals NaN).

    Values are compared at float64, so a loader may widen float32 to float64; fields it does
    not return are not differences. x, y and z must be there."""
    problems = [f"no field {axis}" for axis in "xyz" if axis not in got]
    for name, values in got.items():
        if name not in expected:
            continue
        want = np.asarray(expected[name]).astype(np.float64).ravel()
        have = np.asarray(values).astype(np.float64).ravel()
        if have.size != want.size:
            problems.append(f"{name}: {have.size} values for {want.size}")
            continue
        if not np.array_equal(want, have, equal_nan=True):
            wrong = np.flatnonzero(~((want == have) | (np.isnan(want) & np.isnan(have))))
            problems.append(
                f"{name}: {len(wrong)} values differ, first at {wrong[0]}: {have[wrong[0]]!r} for {want[wrong[0]]!r}"
            )
    return problems
