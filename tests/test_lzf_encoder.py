"""The project's LZF encoder: its blocks decode with liblzf, the reference, and are no larger."""

import ctypes
import ctypes.util
import random

import numpy as np
import pytest

import dev_build

GUARD = b"\xa5" * 64  # after the output span: must be left as it is


@pytest.fixture(scope="module")
def lzf_encoder_shim():
    return dev_build.target("lzf_encoder_shim")


@pytest.fixture(scope="module")
def lzf():
    library = ctypes.CDLL(ctypes.util.find_library("lzf") or "liblzf.so.1")
    for function in (library.lzf_compress, library.lzf_decompress):
        function.argtypes = [ctypes.c_char_p, ctypes.c_uint, ctypes.c_char_p, ctypes.c_uint]
        function.restype = ctypes.c_uint
    return library


def bound(size: int) -> int:
    return size + (size + 31) // 32


def literal_runs(data: bytes) -> bytes:
    return b"".join(bytes([len(data[i:i + 32]) - 1]) + data[i:i + 32] for i in range(0, len(data), 32))


def unrepeated(size: int, seed: int = 5) -> bytes:
    """Random bytes in which no 3 in a row occur twice: nothing a reference could stand for."""
    rng, data, seen = random.Random(seed), bytearray(b"\0\0"), set()
    while len(data) < size:
        window = bytes(data[-2:]) + bytes([rng.randrange(256)])
        if window not in seen:
            seen.add(window)
            data += window[2:]
    return bytes(data)


def scan_column(points: int) -> bytes:
    """Millimetre-quantised float32 coordinates of 64 rings, with runs of NaN for missing returns."""
    index = np.arange(points)
    azimuth = index // 64 * (2 * np.pi / 1800)
    column = np.round((8 + 3 * np.sin(azimuth * 3) + index % 64 / 16) * np.cos(azimuth), 3).astype("<f4")
    column[(index % 64 > 44) & (np.sin(azimuth * 5) > 0.2)] = np.nan
    return column.tobytes()


# input, and whether it has repeats to find (else it must come out as literal runs)
CASES = {
    "empty": (b"", False),
    "one-byte": (b"\x07", False),
    "two-bytes": (b"ab", False),
    "short-repetitive": (b"tessarel " * 7, True),
    "literal-33": (bytes(range(33)), False),
    "literal-64": (bytes(range(64)), False),
    "long-zeros": (bytes(100_000), True),
    "repeat-at-8192": (unrepeated(8192) * 2, True),
    "repeat-at-8193": (unrepeated(8193) * 2, False),
    "random-100k": (unrepeated(100_000), False),
    "float32-scan-column": (scan_column(20_000), True),
    "float32-ramp": (np.arange(30_000, dtype="<f4").tobytes(), True),
}


@pytest.mark.parametrize("data, repeats", CASES.values(), ids=CASES.keys())
def test_encoder_round_trips_through_liblzf(lzf_encoder_shim, lzf, data, repeats):
    encode = ctypes.CDLL(str(lzf_encoder_shim)).encode_lzf_for_test
    encode.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t]
    encode.restype = ctypes.c_size_t
    room = bound(len(data))
    out = ctypes.create_string_buffer(b"\0" * room + GUARD, room + len(GUARD))
    written = encode(data, len(data), out, room)
    assert written <= room and out.raw[room:] == GUARD, "wrote past the output span"
    block = out.raw[:written]
    decoded = ctypes.create_string_buffer(max(len(data), 1))
    assert lzf.lzf_decompress(block, len(block), decoded, len(data)) == len(data)
    assert decoded.raw[:len(data)] == data
    if not repeats:
        assert block == literal_runs(data)
        return
    reference = ctypes.create_string_buffer(bound(len(data)) + 64)
    assert 0 < len(block) <= lzf.lzf_compress(data, len(data), reference, len(reference))
