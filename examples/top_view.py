"""Writes a PNG top-down view of a PCD file's points.

    top_view.py FILE.pcd OUT.png [FIELD]

Points show their own colours when the file has a packed rgb or rgba field (U 4 or F 4) and no
FIELD is named; alpha is left out, so every point stays visible. Otherwise they are coloured by
FIELD, by default the first field with one value per point, or by height (z) without one, with
a colour bar."""

import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only, no screen needed
import matplotlib.pyplot as plt
import numpy as np
from mpl_toolkits.axes_grid1 import make_axes_locatable

import tessarel

PACKED_COLOUR_FIELDS = ("rgb", "rgba")


def is_packed_colour(name: str, values: np.ndarray) -> bool:
    return name in PACKED_COLOUR_FIELDS and values.ndim == 1 and values.dtype in (np.uint32, np.float32)


def true_colours(values: np.ndarray) -> np.ndarray:
    """RGB in 0..1, one row per point."""
    return tessarel.unpack_rgb(values) / 255.0


def choose_field(points: np.ndarray, fields: dict[str, np.ndarray], name: str | None) -> tuple[np.ndarray, str | None]:
    """The colours of the points (one RGB row each), or the scalar values to colour them by
    together with their label."""
    if name is None:
        packed = next(
            (key for key in PACKED_COLOUR_FIELDS if key in fields and is_packed_colour(key, fields[key])), None
        )
        if packed is not None:
            return true_colours(fields[packed]), None
        name = next((key for key, array in fields.items() if array.ndim == 1), None)
        if name is None:
            return points[:, 2], "z"
    if name not in fields:
        raise SystemExit(f"no field {name!r}; the file has {', '.join(fields) or 'none besides x, y, z'}")
    values = fields[name]
    if is_packed_colour(name, values):
        return true_colours(values), None
    if values.ndim != 1:
        raise SystemExit(f"field {name!r} has {values.shape[1]} values per point; pick one with one")
    return values.astype(np.float64), name


def main(args: list[str]) -> int:
    if len(args) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    points, fields = tessarel.load_pcd(args[0])
    colours, label = choose_field(points, fields, args[2] if len(args) == 3 else None)
    figure, axes = plt.subplots(figsize=(6, 6), dpi=100)
    axes.set(aspect="equal", xlabel="x", ylabel="y", title=f"{Path(args[0]).name} ({len(points)} points)")
    if label is None:
        axes.scatter(points[:, 0], points[:, 1], c=colours, s=2, linewidths=0)
    else:
        scatter = axes.scatter(points[:, 0], points[:, 1], c=colours, s=2, cmap="viridis", linewidths=0)
        # A bar exactly as tall as the axes, whatever shape the equal aspect gives them.
        bar = make_axes_locatable(axes).append_axes("right", size="4%", pad=0.1)
        figure.colorbar(scatter, cax=bar, label=label)
    figure.savefig(args[1], bbox_inches="tight")
    print(f"wrote {args[1]}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
