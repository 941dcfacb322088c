"""Damaged, hostile and odd files: each must load correctly or raise a Python exception.

Every load runs in a child interpreter (see isolated.py), so a crash fails the test."""

import os
import random
import re
import struct
import subprocess
import sys

import numpy as np
import pytest
from conftest import DATA
from test_save import as_nobody

import tessarel
from damaged_files import (
    ABSURD_KEYWORDS,
    MIXES,
    absurd_variants,
    header_length,
    header_value_positions,
    huge_cloud_in_full,
    mutate,
    record_of_undecodable_padding,
    record_without_a_decodable_field,
    small_file_declaring_a_huge_cloud,
    valid_file,
)
from isolated import Outcome, load_isolated
from pcd_writer import ENCODINGS, fields, header, pcd_bytes, random_values, write

SANITIZED = bool(os.environ.get("TESSAREL_SANITIZED"))

# The reader's messages for a damaged header, and for each encoding's damaged data. Names
# and tokens come from the file, so they may hold any byte.
HEADER_ERRORS = [
    r"PCD must contain x, y, z fields",
    r"Unsupported PCD DATA type: .*",
    r"Unsupported PCD type/size: field '.*' has TYPE (.|\\x[0-9a-f]{2}) SIZE -?\d+",
    r"PCD coordinate field '[xyz]' has COUNT 0",
    r"PCD field '.*' has a negative (SIZE|COUNT) \(-\d+\)",
    r"PCD POINTS is negative: -\d+",
    r"PCD data too large: POINTS \d+ \* \d+ bytes per point exceeds the limit of \d+ bytes",
    r"PCD point record of \d+ bytes exceeds the limit of \d+ bytes; field '.*' has SIZE \d+ and COUNT \d+",
    r"PCD header: (SIZE|TYPE|COUNT) line \d+ comes before the FIELDS line",
    r"PCD header: (POINTS|WIDTH|HEIGHT) on line \d+ is [-+]?\d+, outside the 64-bit range of counts",
    r"PCD header: WIDTH -?\d+ \* HEIGHT -?\d+ is outside the 64-bit range of counts",
    r"PCD header: (WIDTH|HEIGHT) on line \d+ is -\d+: the cloud's organisation cannot be negative",
]
DATA_ERRORS = {
    "ascii": [
        r"ASCII PCD data, point \d+, field '.*'( element \d+)?: '.*' is (not a number of type [FUI] \d"
        r"|not a whole number, as type [UI] \d needs|outside the 64-bit range of type [UI] \d)",
        r"ASCII PCD data ended early: expected \d+ values, read \d+",
    ],
    "binary": [r"PCD binary data is truncated: expected \d+ bytes, the file holds \d+"],
    "binary_compressed": [
        r"PCD compressed data is truncated: (expected \d+ compressed bytes, the file holds \d+"
        r"|the 8-byte block header holds only \d bytes)",
        r"PCD compressed block size mismatch: the block decodes to \d+ bytes, the header needs \d+",
        r"LZF decompression failed: block of \d+ compressed bytes (stopped at input byte \d+, output byte \d+ of \d+ "
        r"expected \(.*\)|ended at output byte \d+ of \d+ expected|cannot hold the \d+ bytes of the cloud, at most 88 "
        r"times as many)",
    ],
}


def fails_with(outcome: Outcome, patterns: list[str]) -> bool:
    """Whether the load raised RuntimeError with a message that one of `patterns` matches whole."""
    return outcome.error == "RuntimeError" and any(re.fullmatch(p, outcome.message, re.DOTALL) for p in patterns)


def load_variants(tmp_path, variants: list[bytes], original: bytes | None = None, encoding: str = ""):
    """Loads each variant in a child. Each that loads gives arrays of one consistent length.
    Given the original, where the damage leaves values defined they must be the original's: in
    ASCII and binary data, every point whose bytes all lie before the first damaged byte (or,
    in binary data, after the last)."""
    paths = [write(tmp_path / f"v{i}.pcd", v) for i, v in enumerate(variants)]
    outcomes = load_isolated(paths, keep_arrays=original is not None)
    for outcome in outcomes:
        if outcome.ok:
            assert all(shape[0] == outcome.points[0] for shape in outcome.fields.values())
    if original is None or encoding == "binary_compressed":
        return outcomes
    expected = tessarel.load_pcd(write(tmp_path / "original.pcd", original))
    ends = point_ends(original, encoding)
    for path, variant, outcome in zip(paths, variants, outcomes):
        first, last = damaged_span(original, variant)
        if not outcome.ok or first < header_length(original):
            continue
        kept = [i for i, (start, end) in enumerate(ends) if end < first or (encoding == "binary" and start > last)]
        with np.load(path + ".npz") as loaded:
            for name, values in [("points", expected[0]), *expected[1].items()]:
                np.testing.assert_array_equal(loaded[name][kept], values[kept], err_msg=f"{path} {name}")
    return outcomes


def point_ends(content: bytes, encoding: str) -> list[tuple[int, int]]:
    """The byte span of each point's data: its record, or its line of text."""
    start = header_length(content)
    if encoding == "binary":
        points = int(content.split(b"\nPOINTS ")[1].split(b"\n")[0])
        size = (len(content) - start) // points
        return [(start + i * size, start + (i + 1) * size - 1) for i in range(points)]
    spans = []
    for line in content[start:].split(b"\n")[:-1]:
        spans.append((start, start + len(line)))
        start += len(line) + 1
    return spans


def damaged_span(original: bytes, variant: bytes) -> tuple[int, int]:
    """The first and last byte where the variant differs; a cut differs from its end on."""
    changed = [i for i, (a, b) in enumerate(zip(original, variant)) if a != b]
    if len(variant) < len(original):
        changed += [len(variant), len(original) - 1]
    return (changed[0], changed[-1]) if changed else (len(original), -1)


def truncation_errors(content: bytes, encoding: str, cut: int) -> list[str]:
    """What a file cut after `cut` bytes must raise: the first of the header's checks that it
    fails, or what its data section lacks. ASCII text cut inside a token may lose only the
    token's end, so the load may succeed or stop at that token instead."""
    fields_end = content.index(b"FIELDS x y z") + len(b"FIELDS x y z")
    data_value = content.index(b"\nDATA ") + len(b"\nDATA ")
    if cut < fields_end:
        return [re.escape("PCD must contain x, y, z fields")]
    if cut < header_length(content) - 1:  # the DATA line is missing or cut short
        value = content[data_value:max(cut, data_value)].decode()
        if value == "binary":  # binary_compressed cut short
            return [r"PCD binary data is truncated: expected \d+ bytes, the file holds 0"]
        return [re.escape("Unsupported PCD DATA type: " + value)]
    section = content[header_length(content):cut]
    if encoding == "binary":
        expected = len(content) - header_length(content)
        return [f"PCD binary data is truncated: expected {expected} bytes, the file holds {len(section)}"]
    if encoding == "binary_compressed":
        if len(section) < 8:
            return [f"PCD compressed data is truncated: the 8-byte block header holds only {len(section)} bytes"]
        compressed = struct.unpack("<I", section[:4])[0]
        return [f"PCD compressed data is truncated: expected {compressed} compressed bytes, "
                f"the file holds {len(section) - 8}"]
    tokens = section.split()
    values = len(content[header_length(content):].split())
    last = re.escape(tokens[-1].decode()) if tokens else ""
    return [f"ASCII PCD data ended early: expected {values} values, read {len(tokens)}",
            rf"ASCII PCD data, point \d+, field '.*'( element \d+)?: '{last}' is not a number of type [FUI] \d"]


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("spec", MIXES)
def test_truncation_anywhere(tmp_path, spec, encoding):
    content = valid_file(spec, encoding)
    end_of_header = header_length(content)
    data_cuts = np.linspace(end_of_header, len(content) - 1, 64, dtype=int)
    cuts = [*range(end_of_header), *sorted(set(data_cuts))]
    outcomes = load_variants(tmp_path, [content[:cut] for cut in cuts], content, encoding)
    for cut, outcome in zip(cuts, outcomes):
        if outcome.ok and encoding == "ascii" and cut > end_of_header:
            continue
        assert fails_with(outcome, truncation_errors(content, encoding, cut)), (cut, outcome)


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("spec", MIXES)
def test_damaged_bytes(tmp_path, spec, encoding):
    content = valid_file(spec, encoding, points=200)
    rng = random.Random(f"{spec}/{encoding}")
    in_header = header_value_positions(content)
    # For compressed files the data positions cover the 8-byte block header and the LZF stream.
    in_data = list(range(header_length(content), len(content)))
    variants = [mutate(content, in_header, rng) for _ in range(300)]
    variants += [mutate(content, in_data, rng) for _ in range(300)]
    outcomes = load_variants(tmp_path, variants, content, encoding)
    for number, outcome in enumerate(outcomes):
        if number >= 300:  # damaged data: binary records hold any bytes
            assert outcome.ok or encoding != "binary" and fails_with(outcome, DATA_ERRORS[encoding]), outcome
        elif not outcome.ok:
            assert fails_with(outcome, HEADER_ERRORS + DATA_ERRORS[encoding]), outcome


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("keyword", ABSURD_KEYWORDS)
def test_absurd_header_values(tmp_path, keyword, encoding):
    for outcome in load_variants(tmp_path, list(absurd_variants(encoding, keyword).values())):
        assert outcome.ok or fails_with(outcome, HEADER_ERRORS + DATA_ERRORS[encoding]), outcome


def test_huge_points_fail_with_the_reason(tmp_path):
    content = valid_file(MIXES[0], "binary", points=10)
    content = content.replace(b"WIDTH 10", b"WIDTH 2147483647").replace(b"POINTS 10", b"POINTS 2147483647")
    expected = (
        "^PCD data too large" if sys.maxsize < 2**32 else "^PCD binary data is truncated: expected 34359738352 bytes"
    )
    with pytest.raises(RuntimeError, match=expected):
        tessarel.load_pcd(write(tmp_path / "huge.pcd", content))


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_thousands_of_fields(load, encoding):
    table = fields(
        "x y z " + " ".join(f"f{i}:{'FUI'[i % 3]}{(1, 2, 4, 8)[i % 4] if i % 3 else 8}" for i in range(3000))
    )
    values = random_values(table, 7, seed=3)
    points, loaded = load(pcd_bytes(table, values, encoding))
    assert len(loaded) == 3000
    np.testing.assert_array_equal(points, np.stack(values[:3], axis=1))
    for field, value in zip(table[3:], values[3:]):
        np.testing.assert_array_equal(loaded[field.name], value)


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_very_long_lines(load, encoding):
    name = "n" * 1_000_000
    table = fields(f"x y z {name}:U2")
    values = random_values(table, 5)
    content = pcd_bytes(table, values, encoding)
    content = content.replace(b"VERSION", b"# " + b"c" * 8_000_000 + b"\nVERSION", 1)
    if encoding == "ascii":  # the whole cloud on one line
        end = header_length(content)
        content = content[:end] + content[end:].replace(b"\n", b" ")
    points, loaded = load(content)
    np.testing.assert_array_equal(loaded[name], values[3])
    np.testing.assert_array_equal(points, np.stack(values[:3], axis=1))


def odd_files(tmp_path) -> dict[str, tuple[str, str, str]]:
    """Name -> (path, expected exception type, message)."""
    fifo = tmp_path / "fifo.pcd"
    os.mkfifo(fifo)
    good = valid_file(MIXES[0], "binary", points=3)
    cannot_open = "Cannot open PCD file: "
    cases = {
        "directory": (str(tmp_path), "RuntimeError", cannot_open + str(tmp_path) + ": Is a directory"),
        "fifo": (str(fifo), "RuntimeError", cannot_open + str(fifo) + ": not a regular file"),
        "missing": (str(tmp_path / "missing.pcd"), "RuntimeError",
                    cannot_open + str(tmp_path / "missing.pcd") + ": No such file or directory"),
        "unreadable device": (
            "/proc/self/mem",
            "RuntimeError",
            "Cannot read PCD file: /proc/self/mem: Input/output error",
        ),
        "empty": (write(tmp_path / "empty.pcd", b""), "RuntimeError", "PCD must contain x, y, z fields"),
        "zeros": (write(tmp_path / "zeros.pcd", bytes(4096)), "RuntimeError", "PCD must contain x, y, z fields"),
        "header only": (
            write(tmp_path / "header.pcd", good[: good.index(b"DATA")]),
            "RuntimeError",
            "Unsupported PCD DATA type: ",
        ),
    }
    return cases


def test_odd_files(tmp_path):
    cases = odd_files(tmp_path)
    outcomes = load_isolated([path for path, _, _ in cases.values()])
    for (name, (_, error, message)), outcome in zip(cases.items(), outcomes):
        assert (outcome.error, outcome.message) == (error, message), name


def test_unreadable_file_says_why(tmp_path):
    path = write(tmp_path / "secret.pcd", valid_file(MIXES[0], "binary", points=3))
    os.chmod(path, 0o200)
    os.chmod(tmp_path, 0o755)
    said = as_nobody(lambda: tessarel.load_pcd(path))
    assert said == f"RuntimeError: Cannot open PCD file: {path}: Permission denied"


# Room for the child's own work, far less than any of the clouds the files declare.
HEADROOM = 0 if SANITIZED else 256 << 20


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves terabytes of address space")
def test_small_files_cannot_reserve_huge_clouds(tmp_path):
    variants = {encoding: small_file_declaring_a_huge_cloud(encoding) for encoding in ENCODINGS}
    variants["undecodable padding"] = record_of_undecodable_padding()
    variants["no decodable field"] = record_without_a_decodable_field()
    variants["coordinates of COUNT 0"] = b"FIELDS x y z\nCOUNT 0 0 0\nPOINTS 2147483647\nDATA binary\n"
    paths = [write(tmp_path / f"{name}.pcd", content) for name, content in variants.items()]
    assert all(os.path.getsize(path) < 1000 for path in paths[:3])
    # A first COUNT line of a gigabyte, which the second one replaces: two points of 12 bytes.
    second_count = b"FIELDS x y z w\nCOUNT 1 1 1 134217728\nCOUNT 1 1 1 0\nPOINTS 2\nDATA ascii\n1 2 3\n4 5 6\n"
    paths.append(write(tmp_path / "second_count.pcd", second_count))
    outcomes = load_isolated(paths, address_headroom=HEADROOM)
    expected = [
        "ASCII PCD data ended early: expected 400000000 values, read 32",
        "PCD binary data is truncated: expected 1600000000 bytes, the file holds 160",
        "LZF decompression failed: block of 33 compressed bytes cannot hold the 1600000000 bytes of the cloud, at most "
        "88 times as many",
        "Unsupported PCD type/size: field 'pad' has TYPE X SIZE 1",
        "Unsupported PCD type/size: field 'x' has TYPE g SIZE 4",
        "PCD coordinate field 'x' has COUNT 0",
    ]
    for name, message, outcome in zip(variants, expected, outcomes):
        assert (outcome.error, outcome.message) == ("RuntimeError", message), name
    assert outcomes[-1].points == (2, 3) and outcomes[-1].fields == {"w": [2, 0]}, outcomes[-1]


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves terabytes of address space")
def test_a_cloud_beyond_memory_says_what_it_needs(tmp_path):
    paths = [write(tmp_path / f"{encoding}.pcd", *huge_cloud_in_full(encoding)) for encoding in ENCODINGS]
    message = ("Not enough memory for the PCD cloud: it needs 1600000000 bytes (1.5 GiB) that could not be reserved; "
               "load_pcd(..., mmap=True) or iter_pcd(...) read it in less")
    outcomes = load_isolated(paths, address_headroom=HEADROOM)
    assert [(outcome.error, outcome.message) for outcome in outcomes] == [("MemoryError", message)] * len(paths)


def test_failed_load_stops_faulting_in_its_promise(tmp_path):
    """A block that may decode to 1.2 GB and fails at its first instruction: the pages the
    load will never fill are not faulted in after it failed."""
    points = 100_000_000
    stream = b"\xe0\xff\xff" * (points * 12 // 180)  # references before the start, in a size LZF allows
    head = header(fields("x y z"), points, "binary_compressed")
    path = write(tmp_path / "promise.pcd", head + struct.pack("<II", len(stream), points * 12) + stream)
    # VmHWM rather than ru_maxrss, which a child inherits from this process on Linux.
    code = ("import sys, tessarel\ntry: tessarel.load_pcd(sys.argv[1])\nexcept RuntimeError as e: print(e)\n"
            "print(next(line.split()[1] for line in open('/proc/self/status') if line.startswith('VmHWM:')))")
    run = subprocess.run([sys.executable, "-c", code, path], capture_output=True, text=True, check=True, timeout=120)
    message, peak_kib = run.stdout.splitlines()
    assert message == (f"LZF decompression failed: block of {len(stream)} compressed bytes stopped at input byte 0, "
                       f"output byte 0 of {points * 12} expected "
                       "(an instruction is cut off or refers to bytes before the output)")
    assert int(peak_kib) < 400 << 10, "peak resident memory, KiB"


FUZZ_FINDINGS = {
    "ascii-two-count-lines-oom.pcd": "PCD coordinate field 'y' has COUNT 0",
    "ascii-untyped-fields-oom.pcd": "PCD must contain x, y, z fields",
}


def test_inputs_the_fuzzers_found():
    assert sorted(path.name for path in (DATA / "fuzz").iterdir()) == sorted(FUZZ_FINDINGS)
    paths = [str(DATA / "fuzz" / name) for name in FUZZ_FINDINGS]
    for (name, message), outcome in zip(FUZZ_FINDINGS.items(), load_isolated(paths, address_headroom=HEADROOM)):
        assert (outcome.error, outcome.message) == ("RuntimeError", message), name
