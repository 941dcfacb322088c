"""Writes the files that the replay driver runs through the 32-bit and 64-bit builds.

    replay_cases.py DIR

DIR/damaged holds the damaged, hostile and odd files that tests/test_damaged_files.py makes,
from the same generators and seeds. DIR/large holds sparse files whose sizes cross what a
32-bit build can hold or count: ASCII sections over 4 GiB (their holes read as NUL bytes,
which separate tokens), clouds on either side of 2^31 - 1 bytes, compressed blocks too. They
take a few MB of disk however large they are."""

import random
import shutil
import struct
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).parent.parent / "devkit"))
import damaged_files as damaged  # noqa: E402
from pcd_writer import ENCODINGS, fields, header  # noqa: E402

GIB4 = 2**32
LIMIT_32 = 2**31 - 1


def damaged_files() -> dict[str, bytes]:
    files = {}
    for spec_number, spec in enumerate(damaged.MIXES):
        for encoding in ENCODINGS:
            name = f"mix{spec_number}_{encoding}"
            content = damaged.valid_file(spec, encoding)
            end = damaged.header_length(content)
            cuts = [*range(end), *sorted(set(np.linspace(end, len(content) - 1, 64, dtype=int)))]
            files |= {f"{name}_cut{cut}": content[:cut] for cut in cuts}
            content = damaged.valid_file(spec, encoding, points=200)
            rng = random.Random(f"{spec}/{encoding}")
            for where, positions in [("header", damaged.header_value_positions(content)),
                                     ("data", list(range(damaged.header_length(content), len(content))))]:
                files |= {f"{name}_{where}{i}": damaged.mutate(content, positions, rng) for i in range(300)}
    for encoding in ENCODINGS:
        for keyword in damaged.ABSURD_KEYWORDS:
            for name, variant in damaged.absurd_variants(encoding, keyword).items():
                files[f"absurd_{encoding}_{name}"] = variant
        files[f"huge_{encoding}"] = damaged.small_file_declaring_a_huge_cloud(encoding)
    files["undecodable_padding"] = damaged.record_of_undecodable_padding()
    files["no_decodable_field"] = damaged.record_without_a_decodable_field()
    for found in (Path(__file__).parent.parent / "tests" / "data" / "fuzz").iterdir():
        files[f"fuzz_{found.name}"] = found.read_bytes()
    return files


def sparse(path: Path, head: bytes, pieces: list[tuple[int, bytes]], size: int) -> None:
    """head, then a hole of `size` bytes in which each (offset, bytes) piece is written."""
    with open(path, "wb") as file:
        file.write(head)
        for offset, data in pieces:
            file.seek(len(head) + offset)
            file.write(data)
        file.truncate(len(head) + size)


def large_files(folder: Path) -> None:
    xyz = fields("x y z")
    bytes_xyz = fields("x:U1 y:U1 z:U1")
    # ASCII: a section of 2^32 + 3 bytes, whose low 32 bits would leave only its first values;
    # a token that straddles 4 GiB; a section that ends early only after 4 GiB.
    sparse(folder / "ascii_section_4gib_plus_3", header(xyz, 1, "ascii"), [(0, b"1 2"), (GIB4 + 1, b" 3")], GIB4 + 3)
    sparse(folder / "ascii_token_across_4gib", header(xyz, 2, "ascii"),
           [(0, b"1 2 3"), (GIB4 - 2, b"4.25 5 6\n")], GIB4 + 7)
    sparse(folder / "ascii_ends_early_after_4gib", header(xyz, 3, "ascii"), [(GIB4 + 5, b"1 2 3 4")], GIB4 + 12)
    # Binary: the largest cloud a 32-bit build holds, the next one, a cut one, a section of 5 GiB.
    largest = LIMIT_32 // 12
    last_point = struct.pack("<3f", 1.5, -2.0, 3.25)
    sparse(folder / "binary_largest_32bit_cloud", header(xyz, largest, "binary"),
           [(largest * 12 - 12, last_point)], largest * 12)
    sparse(folder / "binary_cloud_over_2gib", header(xyz, largest + 1, "binary"),
           [(largest * 12, last_point)], largest * 12 + 12)
    sparse(folder / "binary_cut_by_a_byte", header(xyz, largest, "binary"), [], largest * 12 - 1)
    sparse(folder / "binary_section_5gib", header(xyz, 2, "binary"), [(12, last_point)], 5 * 2**30)
    # More points than a 32-bit count holds, in a section that holds more than 2^31 - 1 of them.
    sparse(folder / "binary_points_beyond_int32", header(xyz, 3_000_000_000, "binary"), [], 2**31 * 12)
    # Compressed: a stream of NUL bytes decodes a byte of zero per two bytes. One block that
    # both builds decode, and one of 2^31 bytes and more, beyond what a 32-bit build may hold.
    for name, points in [("compressed_block_512mib", 2**29 // 6), ("compressed_block_over_2gib", 2**31 // 6 + 1)]:
        compressed = points * 3 * 2
        sizes = struct.pack("<II", compressed, points * 3)
        sparse(folder / name, header(bytes_xyz, points, "binary_compressed"), [(0, sizes)], 8 + compressed)


def main(folder: str) -> None:
    out = Path(folder)
    shutil.rmtree(out, ignore_errors=True)
    (out / "damaged").mkdir(parents=True)
    (out / "large").mkdir()
    for name, content in damaged_files().items():
        (out / "damaged" / f"{name}.pcd").write_bytes(content)
    large_files(out / "large")


if __name__ == "__main__":
    main(sys.argv[1])
