"""Writes a PNG top-down view of a PCD file's points, coloured by one of its fields.

    top_view.py FILE.pcd OUT.png [FIELD]

FIELD defaults to the first field with one value per point; without one, points are
coloured by height (z)."""

import sys

import matplotlib

matplotlib.use("Agg")  # files only, no screen needed
import matplotlib.pyplot as plt
import numpy as np
import tessarel


def colour_values(points: np.ndarray, fields: dict[str, np.ndarray], name: str | None) -> tuple[np.ndarray, str]:
    if name is None:
        name = next((key for key, array in fields.items() if array.ndim == 1), None)
    if name is None:
        return points[:, 2], "z"
    values = fields[name]
    if values.ndim != 1:
        raise SystemExit(f"field {name!r} has {values.shape[1]} values per point; pick one with one")
    return values.astype(np.float64), name


def main(args: list[str]) -> int:
    if len(args) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    points, fields = tessarel.load_pcd(args[0])
    values, label = colour_values(points, fields, args[2] if len(args) == 3 else None)
    figure, axes = plt.subplots(figsize=(6, 6), dpi=100)
    scatter = axes.scatter(points[:, 0], points[:, 1], c=values, s=2, cmap="viridis", linewidths=0)
    figure.colorbar(scatter, ax=axes, label=label)
    axes.set(aspect="equal", xlabel="x", ylabel="y", title=f"{args[0]} ({len(points)} points)")
    figure.savefig(args[1], bbox_inches="tight")
    print(f"wrote {args[1]}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
