"""Damaged, hostile and odd files: each must load correctly or raise a Python exception.

Every load runs in a child interpreter (see isolated.py), so a crash fails the test."""

import sys
import os
import random
import struct
import subprocess

import numpy as np
import pytest
import tessarel

from conftest import DATA
from isolated import EXPECTED_ERRORS, load_isolated
from damaged_files import (
    ABSURD_KEYWORDS, ENCODINGS, MIXES, absurd_variants, header_length, header_value_positions, mutate,
    record_of_undecodable_padding, record_without_a_decodable_field, small_file_declaring_a_huge_cloud, valid_file,
)
from pcd_writer import fields, header, pcd_bytes, random_values, write

SANITIZED = bool(os.environ.get("TESSAREL_SANITIZED"))


def load_variants(tmp_path, variants: list[bytes], original: bytes | None = None, encoding: str = ""):
    """Loads each variant in a child. Each gives arrays of one consistent length or an exception of
    an expected kind. Given the original, where the damage leaves values defined they must be
    the original's: in ASCII and binary data, every point whose bytes all lie before the first
    damaged byte (or, in binary data, after the last)."""
    paths = [write(tmp_path / f"v{i}.pcd", v) for i, v in enumerate(variants)]
    outcomes = load_isolated(paths, keep_arrays=original is not None)
    for outcome in outcomes:
        if outcome.ok:
            assert all(shape[0] == outcome.points[0] for shape in outcome.fields.values())
        else:
            assert outcome.error in EXPECTED_ERRORS, outcome
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


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("spec", MIXES)
def test_truncation_anywhere(tmp_path, spec, encoding):
    content = valid_file(spec, encoding)
    end_of_header = header_length(content)
    data_cuts = np.linspace(end_of_header, len(content) - 1, 64, dtype=int)
    cuts = [*range(end_of_header), *sorted(set(data_cuts))]
    outcomes = load_variants(tmp_path, [content[:cut] for cut in cuts], content, encoding)
    for cut, outcome in zip(cuts, outcomes):
        # A cut in the header loses the DATA line; a cut in binary data loses bytes. ASCII
        # text cut inside its last token may still parse.
        if cut < end_of_header or encoding != "ascii":
            assert outcome.error == "RuntimeError", (cut, outcome)


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
    load_variants(tmp_path, variants, content, encoding)


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("keyword", ABSURD_KEYWORDS)
def test_absurd_header_values(tmp_path, keyword, encoding):
    load_variants(tmp_path, list(absurd_variants(encoding, keyword).values()))


def test_huge_points_fail_with_the_reason(tmp_path):
    content = valid_file(MIXES[0], "binary", points=10)
    content = content.replace(b"WIDTH 10", b"WIDTH 2147483647").replace(b"POINTS 10", b"POINTS 2147483647")
    expected = "^PCD data too large" if sys.maxsize < 2**32 else "^PCD binary data is truncated: expected 34359738352 bytes"
    with pytest.raises(RuntimeError, match=expected):
        tessarel.load_pcd(write(tmp_path / "huge.pcd", content))


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_thousands_of_fields(load, encoding):
    table = fields("x y z " + " ".join(f"f{i}:{'FUI'[i % 3]}{(1, 2, 4, 8)[i % 4] if i % 3 else 8}" for i in range(3000)))
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


def odd_files(tmp_path) -> dict[str, tuple[str, str]]:
    """Name -> (path, expected exception type)."""
    fifo = tmp_path / "fifo.pcd"
    os.mkfifo(fifo)
    good = valid_file(MIXES[0], "binary", points=3)
    cases = {
        "directory": (str(tmp_path), "RuntimeError"),
        "fifo": (str(fifo), "RuntimeError"),
        "missing": (str(tmp_path / "missing.pcd"), "RuntimeError"),
        "unreadable device": ("/proc/self/mem", "RuntimeError"),
        "empty": (write(tmp_path / "empty.pcd", b""), "RuntimeError"),
        "zeros": (write(tmp_path / "zeros.pcd", bytes(4096)), "RuntimeError"),
        "header only": (write(tmp_path / "header.pcd", good[: good.index(b"DATA")]), "RuntimeError"),
        "non-UTF-8 field name": (
            write(tmp_path / "latin1.pcd", good.replace(b"intensity", b"intensit\xe9")),
            "UnicodeDecodeError",
        ),
    }
    return cases


def test_odd_files(tmp_path):
    cases = odd_files(tmp_path)
    outcomes = load_isolated([path for path, _ in cases.values()])
    for (name, (_, expected)), outcome in zip(cases.items(), outcomes):
        assert outcome.error == expected, (name, outcome)


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files whatever their mode")
def test_unreadable_file(tmp_path):
    path = write(tmp_path / "secret.pcd", valid_file(MIXES[0], "binary", points=3))
    os.chmod(path, 0)
    with pytest.raises(RuntimeError, match="^Cannot open PCD file"):
        tessarel.load_pcd(path)


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
    expected = ["ended early", "truncated", "LZF decompression failed", *["Unsupported PCD type/size"] * 2, "has COUNT 0"]
    for name, message, outcome in zip(variants, expected, outcomes):
        assert outcome.error == "RuntimeError" and message in outcome.message, (name, outcome)
    assert outcomes[-1].points == (2, 3) and outcomes[-1].fields == {"w": [2, 0]}, outcomes[-1]


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


def test_inputs_the_fuzzers_found():
    paths = sorted(str(path) for path in (DATA / "fuzz").iterdir())
    for path, outcome in zip(paths, load_isolated(paths, address_headroom=HEADROOM)):
        assert outcome.error == "RuntimeError", (path, outcome)
