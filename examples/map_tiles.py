"""Splits a point-cloud map into square tiles, one PCD file each, as map servers load them.

    map_tiles.py MAP.pcd OUTDIR [--tile 50] [--chunk 1000000] [--encoding binary]

The map is read a chunk at a time with iter_pcd and each tile is written scan by scan with a
PcdWriter, so a map larger than memory splits in the memory of one chunk (except with
`--encoding binary_compressed`, whose tiles are held whole until the end). A tile is named for
its corner of least x and y, in the map's units (metres): `-50_100.pcd` holds the points with
-50 <= x < 0 and 100 <= y < 150. It keeps every field of the map and its sensor pose.
OUTDIR/metadata.yaml lists the tiles as Autoware's map loader reads them: the tile size, then
each file with its corner. Points without a finite x and y belong to no tile: they go to
OUTDIR/unplaced.pcd, which the metadata leaves out, so that no point is lost. A failure
leaves no partial tile: the files written so far are removed.
"""

import argparse
import contextlib
import resource
import sys
from pathlib import Path

import numpy as np

import tessarel

UNPLACED = "unplaced.pcd"


def coordinates(points: np.ndarray, fields: dict[str, np.ndarray], axis: str, column: int) -> np.ndarray:
    """The exact coordinate: a field x or y when the map holds it wider than float32."""
    exact = fields.get(axis)
    return exact if exact is not None and exact.ndim == 1 else points[:, column]


class Tiles:
    """One PcdWriter for each tile met so far, all completed together, or all removed on failure."""

    def __init__(self, folder: Path, size: float, encoding: str, viewpoint, stack: contextlib.ExitStack):
        self.folder, self.size, self.encoding, self.viewpoint, self.stack = folder, size, encoding, viewpoint, stack
        self.writers: dict[tuple[int, int] | None, tessarel.PcdWriter] = {}
        self.names: dict[tuple[int, int], str] = {}
        self.unplaced = 0

    def corner(self, index: int) -> str:
        return f"{index * self.size:.15g}"

    def writer(self, key: tuple[int, int] | None) -> tessarel.PcdWriter:
        """The writer of the tile `key`, or with None of the points that belong to none."""
        if key not in self.writers:
            name = UNPLACED if key is None else f"{self.corner(key[0])}_{self.corner(key[1])}.pcd"
            writer = tessarel.PcdWriter(self.folder / name, encoding=self.encoding, viewpoint=self.viewpoint)
            self.writers[key] = self.stack.enter_context(writer)
            if key is not None:
                self.names[key] = name
        return self.writers[key]

    def write(self, key: tuple[int, int] | None, points: np.ndarray, fields: dict[str, np.ndarray], rows) -> None:
        self.writer(key).write(points[rows], {name: values[rows] for name, values in fields.items()})

    def add(self, points: np.ndarray, fields: dict[str, np.ndarray]) -> None:
        """Writes each point of a chunk to its tile."""
        x, y = coordinates(points, fields, "x", 0), coordinates(points, fields, "y", 1)
        placed = np.isfinite(x) & np.isfinite(y)
        keys = np.stack([np.floor(x[placed] / self.size), np.floor(y[placed] / self.size)], axis=1).astype(np.int64)
        index = np.flatnonzero(placed)
        order = np.lexsort((keys[:, 1], keys[:, 0]))
        keys, index = keys[order], index[order]
        starts = np.flatnonzero(np.any(np.diff(keys, axis=0) != 0, axis=1)) + 1
        for group in np.split(np.arange(len(index)), starts):
            if len(group) == 0:
                continue
            self.write((int(keys[group[0], 0]), int(keys[group[0], 1])), points, fields, index[group])
        if not placed.all():
            self.write(None, points, fields, np.flatnonzero(~placed))
            self.unplaced += int(len(placed) - placed.sum())

    def metadata(self) -> str:
        lines = [f"x_resolution: {self.size:.15g}", f"y_resolution: {self.size:.15g}"]
        for key in sorted(self.names):
            lines.append(f'"{self.names[key]}": [{key[0] * self.size:.15g}, {key[1] * self.size:.15g}]')
        return "\n".join(lines) + "\n"


def allow_open_files() -> None:
    """Every tile holds a file open until the end: as many as the system lets this process have."""
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("map", type=Path)
    parser.add_argument("outdir", type=Path)
    parser.add_argument("--tile", type=float, default=50.0, help="the side of a tile, in the map's units")
    parser.add_argument("--chunk", type=int, default=1_000_000, help="points read at a time")
    parser.add_argument("--encoding", default="binary", choices=["binary", "ascii", "binary_compressed"])
    args = parser.parse_args(argv)
    if not args.tile > 0:
        parser.error("--tile must be positive")
    args.outdir.mkdir(parents=True, exist_ok=True)
    allow_open_files()
    with tessarel.iter_pcd(args.map, chunk_points=args.chunk) as chunks, contextlib.ExitStack() as stack:
        tiles = Tiles(args.outdir, args.tile, args.encoding, chunks.header["viewpoint"], stack)
        for points, fields in chunks:
            tiles.add(points, fields)
    (args.outdir / "metadata.yaml").write_text(tiles.metadata())
    print(f"wrote {len(tiles.names)} tiles of {args.tile:.15g} x {args.tile:.15g} into {args.outdir}")
    if tiles.unplaced:
        print(f"{tiles.unplaced} points without a finite x and y belong to no tile: see {UNPLACED}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
