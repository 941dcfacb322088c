"""Merges scans into one map, a scan at a time: memory holds one scan, whatever the map's size.

    merge.py OUT.pcd SRC... [--encoding binary|ascii|binary_compressed]

Each SRC is a .pcd file, or a folder whose .pcd files are taken in name order. Every scan must
have the fields of the first, with the same types and counts; the first that differs stops the
merge, naming the file and the difference, and OUT.pcd is left as it was."""

import argparse
import sys
from pathlib import Path

import tessarel


def sources(paths: list[Path], out: Path) -> list[Path]:
    files = []
    for path in paths:
        files += sorted(path.glob("*.pcd")) if path.is_dir() else [path]
    return [file for file in files if file.resolve() != out.resolve()]


def describe(field: tuple) -> str:
    name, letter, size, count = field
    return f"'{name}' ({letter} {size}, COUNT {count})"


def difference(first: list, fields: list) -> str | None:
    """How a scan's fields differ from the first scan's, or None."""
    names, first_names = [f[0] for f in fields], [f[0] for f in first]
    if names != first_names:
        return f"fields {' '.join(names)}, where the first scan has {' '.join(first_names)}"
    for field, expected in zip(fields, first):
        if field != expected:
            return f"field {describe(field)}, where the first scan has {describe(expected)}"
    return None


def merge(out: Path, files: list[Path], encoding: str) -> int:
    first = None
    total = 0
    with tessarel.PcdWriter(out, encoding=encoding) as writer:
        for file in files:
            fields = tessarel.load_pcd_header(file)["fields"]
            first = first or (file, fields)
            if (differs := difference(first[1], fields)) is not None:
                sys.exit(f"{file}: {differs} ({first[0]}); nothing written")
            points, values = tessarel.load_pcd(file)
            writer.write(points, values)
            total += len(points)
            print(f"{file}: {len(points)} points")
    return total


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("out", type=Path)
    parser.add_argument("sources", type=Path, nargs="+")
    parser.add_argument("--encoding", default="binary", choices=["binary", "ascii", "binary_compressed"])
    args = parser.parse_args()
    files = sources(args.sources, args.out)
    total = merge(args.out, files, args.encoding)
    print(f"{args.out}: {total} points from {len(files)} files ({args.encoding})")


if __name__ == "__main__":
    main()
