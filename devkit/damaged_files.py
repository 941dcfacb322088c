"""Damaged, hostile and odd PCD files, made the same way for the tests and the 32-bit replay:
valid files of a few field mixes, their bytes changed, header values made absurd, and small
files that declare huge clouds."""

import random
import struct

from pcd_writer import fields, header, pcd_bytes, random_values

MIXES = [
    "x y z intensity",
    "x y z rgb:U4 normal_x normal_y normal_z label:U2 ring:U1",
    "x:F8 y:F8 z:F8 n:F4x3 _:U1x2 t:I8",
]


def valid_file(spec: str, encoding: str, points: int = 40) -> bytes:
    table = fields(spec)
    return pcd_bytes(table, random_values(table, points, seed=len(spec)), encoding)


def header_length(content: bytes) -> int:
    return content.index(b"\nDATA ") + content[content.index(b"\nDATA ") + 1 :].index(b"\n") + 2


def mutate(content: bytes, positions: list[int], rng: random.Random) -> bytes:
    damaged = bytearray(content)
    position = rng.choice(positions)
    how = rng.randrange(3)
    if how == 0:
        damaged[position] ^= 1 << rng.randrange(8)
    elif how == 1:
        damaged[position] = 0
    else:
        for i in range(position, min(position + rng.randrange(1, 9), len(damaged))):
            damaged[i] = rng.randrange(256)
    return bytes(damaged)


def header_value_positions(content: bytes) -> list[int]:
    """Offsets of the bytes after each header line's keyword."""
    positions, start = [], 0
    head = content[: header_length(content)]
    for line in head.split(b"\n"):
        if line and not line.startswith(b"#"):
            keyword = line.index(b" ") if b" " in line else len(line)
            positions += range(start + keyword, start + len(line) + 1)
        start += len(line) + 1
    return positions


ABSURD_VALUES = [
    "0", "-1", "1", "2147483647", "2147483648", "-2147483648", "99999999999999999999", "9223372036854775808",
    "+3", "3x", "x3", "abc", "1e3", "0x10", "", " ", "3 3 3 3 3 3 3 3 3 3 3 3", "\t-0",
]


ABSURD_KEYWORDS = ["POINTS", "WIDTH", "HEIGHT", "SIZE", "COUNT", "TYPE", "FIELDS"]


def absurd_variants(encoding: str, keyword: str) -> dict[str, bytes]:
    """A valid file whose `keyword` line starts with each absurd value, with and without the
    line's other values, by name."""
    content = valid_file(MIXES[1], encoding, points=10)
    lines = content[: header_length(content)].split(b"\n")
    body = content[header_length(content) :]
    variants = {}
    for number, value in enumerate(ABSURD_VALUES):
        for keep_rest in (False, True):
            changed = []
            for line in lines:
                if line.startswith(keyword.encode() + b" "):
                    rest = line.split(b" ")[2:] if keep_rest else []
                    line = b" ".join([keyword.encode(), value.encode(), *rest])
                changed.append(line)
            variants[f"{keyword}{number}_{keep_rest:d}"] = b"\n".join(changed) + body
    return variants


def small_file_declaring_a_huge_cloud(encoding: str) -> bytes:
    points = 100_000_000
    table = fields(MIXES[0])
    head = header(table, points, encoding)
    if encoding == "ascii":
        return head + b"1 2 3 4\n" * 8
    if encoding == "binary":
        return head + bytes(160)
    # An LZF stream of 33 bytes that claims to decode to the whole cloud.
    return head + struct.pack("<II", 33, points * 16) + b"\x1f" + bytes(32)


def huge_cloud_in_full(encoding: str) -> tuple[bytes, int]:
    """The header of a cloud of 1.6 GB, and the size of a file that holds its data: grown to
    that size through a hole, it passes every check of the data's size and costs no disk."""
    points = 100_000_000
    head = header(fields(MIXES[0]), points, encoding)
    if encoding == "ascii":  # a value and a separator for each of the cloud's values
        return head, len(head) + points * 4 * 2
    if encoding == "binary":
        return head, len(head) + points * 16
    compressed = points * 16 // 88 + 1  # the fewest bytes that LZF could expand to the cloud
    head += struct.pack("<II", compressed, points * 16)
    return head, len(head) + compressed


def record_of_undecodable_padding() -> bytes:
    # 500 points of 1 MB records, with three values each in the text: the padding field's
    # type cannot be returned, so the load fails, and must do so before reserving 500 MB.
    table = fields("x y z")
    head = header(table, 500, "ascii").decode()
    for keyword, value in [("FIELDS", "pad"), ("SIZE", "1"), ("TYPE", "X"), ("COUNT", "1000000")]:
        head = head.replace(f"\n{keyword} ", f"\n{keyword} {value} ")
    return head.encode() + b"1 2 3\n" * 500


def record_without_a_decodable_field() -> bytes:
    table = fields("x y z")
    head = header(table, 5, "ascii").replace(b"TYPE F F F", b"TYPE g g g").replace(b"SIZE 4 4 4", b"SIZE 4 4 99999999")
    return head + b"1 2 3\n" * 5
