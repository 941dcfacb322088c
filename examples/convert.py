"""Converts every .pcd of a folder into another encoding, keeping every field and value.

    convert.py SOURCE_DIR TARGET_DIR [--encoding binary|ascii|binary_compressed]

The cloud's organisation (WIDTH, HEIGHT) and sensor pose (VIEWPOINT) are kept too."""

import argparse
from pathlib import Path

import tessarel


def convert(source: Path, target: Path, encoding: str) -> None:
    points, fields = tessarel.load_pcd(source)
    header = tessarel.load_pcd_header(source)
    # Some writers' WIDTH and HEIGHT disagree with their point count: such a cloud is saved unorganized.
    organized = header["width"] * header["height"] == len(points)
    tessarel.save_pcd(target, points, fields, encoding=encoding, height=header["height"] if organized else None,
                      viewpoint=header["viewpoint"])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("source", type=Path)
    parser.add_argument("target", type=Path)
    parser.add_argument("--encoding", default="binary_compressed", choices=["binary", "ascii", "binary_compressed"])
    args = parser.parse_args()
    args.target.mkdir(parents=True, exist_ok=True)
    for source in sorted(args.source.glob("*.pcd")):
        convert(source, args.target / source.name, args.encoding)
        print(f"{source} -> {args.target / source.name} ({args.encoding})")


if __name__ == "__main__":
    main()
