"""The project's LZF decoder against liblzf, the reference, on hand-made blocks."""

import ctypes
import ctypes.util
import errno
import struct

import pytest
from conftest import DATA

import dev_build

GUARD = b"\xa5" * 64  # after the output span: must be left as it is


# The block decoder, and the streaming one with its smallest window, reading the block where it
# lies or in pieces of a few bytes, which cut instructions anywhere.
DECODERS = {"block": None, "in-pieces-in-place": 0, "in-pieces-read-1": 1, "in-pieces-read-7": 7}


@pytest.fixture(scope="module", params=DECODERS.values(), ids=DECODERS.keys())
def ours(request):
    shim = ctypes.CDLL(str(dev_build.target("lzf_decoder_shim")))
    sizes = [ctypes.c_size_t] * (1 if request.param is None else 2)
    decode = shim.decode_lzf_for_test if request.param is None else shim.decode_lzf_in_pieces_for_test
    decode.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, *sizes,
                       ctypes.POINTER(ctypes.c_size_t), ctypes.POINTER(ctypes.c_size_t)]
    piece = () if request.param is None else (request.param,)

    def run(block: bytes, capacity: int):
        out = ctypes.create_string_buffer(b"\0" * capacity + GUARD, capacity + len(GUARD))
        consumed, decoded = ctypes.c_size_t(), ctypes.c_size_t()
        error = decode(block, len(block), out, capacity, *piece, ctypes.byref(consumed), ctypes.byref(decoded))
        assert out.raw[capacity:] == GUARD, "wrote past the output span"
        return error, consumed.value, out.raw[:decoded.value]

    return run


@pytest.fixture(scope="module")
def liblzf():
    lzf = ctypes.CDLL(ctypes.util.find_library("lzf") or "liblzf.so.1", use_errno=True)
    lzf.lzf_decompress.argtypes = [ctypes.c_char_p, ctypes.c_uint, ctypes.c_char_p, ctypes.c_uint]
    lzf.lzf_decompress.restype = ctypes.c_uint

    def run(block: bytes, capacity: int, fill: bytes):
        out = ctypes.create_string_buffer(fill * max(capacity, 1))
        ctypes.set_errno(0)
        decoded = lzf.lzf_decompress(block, len(block), out, capacity)
        return decoded, ctypes.get_errno(), out.raw[:capacity]

    return run


def literal(data: bytes) -> bytes:
    return bytes([len(data) - 1]) + data


def reference(distance: int, length: int) -> bytes:
    back, code = distance - 1, length - 2
    if code < 7:
        return bytes([code << 5 | back >> 8, back & 0xFF])
    return bytes([7 << 5 | back >> 8, code - 7, back & 0xFF])


def pcl_block(cloud: str) -> tuple[bytes, int]:
    content = (DATA / "pcl" / cloud / "cloud_binary_compressed.pcd").read_bytes()
    start = content.index(b"\n", content.index(b"\nDATA ") + 1) + 1
    compressed, decoded = struct.unpack_from("<II", content, start)
    return content[start + 8:start + 8 + compressed], decoded


EIGHT = literal(b"abcdefgh")
# 8216 bytes of output, so that a reference can reach 8192 back.
LONG_HISTORY = literal(bytes(range(1, 33))) + reference(32, 264) * 31
WIDE = literal(bytes(range(100, 132)))  # keeps a block's end more than one instruction away
PCL_BLOCK, PCL_SIZE = pcl_block("xyzrgbnormal")
# About 80 KB of output, far more than the streaming decoder's smallest window, with references
# as far back as they reach across each of its moves; it ends in a 3-byte reference.
MANY = LONG_HISTORY + b"".join(
    literal(bytes((k * 7 + i) % 251 for i in range(32))) + reference(8192, 264) + reference(3000 + k, 100)
    for k in range(200)
)
MANY_SIZE = 8216 + 200 * 396

# block, output capacity, and what it decodes to: a byte count or liblzf's errno.
CASES = {
    "literal-1": (literal(b"a"), 1, 1),
    "literal-32-to-the-end": (literal(bytes(range(32))), 32, 32),
    "literal-32-short-of-the-end": (literal(bytes(range(32))), 100, 32),
    "distance-1-length-264-to-the-end": (literal(b"z") + reference(1, 264), 265, 265),
    "distance-1-length-9-then-more": (literal(b"z") + reference(1, 9) + WIDE, 1000, 42),
    "distance-2-length-9": (literal(b"ab") + reference(2, 9), 300, 11),
    "distance-2-length-264-then-more": (literal(b"ab") + reference(2, 264) + WIDE, 1000, 298),
    "distance-7-length-264-to-the-end": (literal(b"1234567") + reference(7, 264), 271, 271),
    "distance-7-length-3": (literal(b"1234567") + reference(7, 3), 1000, 10),
    "distance-7-length-264-then-more": (literal(b"1234567") + reference(7, 264) + WIDE, 1000, 303),
    "distance-8-length-3": (EIGHT + reference(8, 3), 300, 11),
    "distance-8-length-9-to-the-end": (EIGHT + reference(8, 9), 17, 17),
    "distance-8-length-264-then-more": (EIGHT + reference(8, 264) + WIDE, 1000, 304),
    "distance-15-length-264-then-more": (literal(bytes(range(15))) + reference(15, 264) + WIDE, 1000, 311),
    "distance-8192-length-264-to-the-end": (LONG_HISTORY + reference(8192, 264), 8480, 8480),
    "distance-8192-length-9-then-more": (LONG_HISTORY + reference(8192, 9) + WIDE, 9000, 8257),
    "pcl-block": (PCL_BLOCK, PCL_SIZE, PCL_SIZE),
    "many-windows-to-the-end": (MANY, MANY_SIZE, MANY_SIZE),
    "many-windows-short-of-the-end": (MANY, MANY_SIZE + 5000, MANY_SIZE),
    "many-windows-output-too-small": (MANY, MANY_SIZE - 1, errno.E2BIG),
    "many-windows-output-far-too-small": (MANY, MANY_SIZE - 40_000, errno.E2BIG),
    "many-windows-cut-off": (MANY[:-1], MANY_SIZE, errno.EINVAL),
    "cut-inside-literal": (EIGHT[:-3], 100, errno.EINVAL),
    "cut-after-reference-control": (EIGHT + reference(8, 3)[:1], 100, errno.EINVAL),
    "cut-after-reference-length": (EIGHT + reference(8, 20)[:2], 100, errno.EINVAL),
    "output-too-small-for-literal": (literal(b"abcd"), 3, errno.E2BIG),
    "output-too-small-for-reference": (EIGHT + reference(8, 9), 16, errno.E2BIG),
    "output-too-small-for-long-reference-then-more": (EIGHT + reference(8, 264) + WIDE, 268, errno.E2BIG),
    "output-too-small-for-anything": (literal(b"a"), 0, errno.E2BIG),
    "output-too-small-for-the-pcl-block": (PCL_BLOCK, PCL_SIZE - 1, errno.E2BIG),
    "reference-before-the-start": (literal(b"abc") + reference(4, 3), 100, errno.EINVAL),
    "reference-before-the-start-then-more": (literal(b"abc") + reference(4, 3) + WIDE, 1000, errno.EINVAL),
    "reference-before-any-output": (reference(1, 3), 100, errno.EINVAL),
    "reference-before-the-start-and-too-long": (literal(b"abc") + reference(4, 9), 5, errno.E2BIG),
}


@pytest.mark.parametrize("block, capacity, expected", CASES.values(), ids=CASES.keys())
def test_decoder_agrees_with_liblzf(ours, liblzf, block, capacity, expected):
    error, consumed, output = ours(block, capacity)
    decoded, reference_error, zeros = liblzf(block, capacity, b"\x00")
    _, _, ones = liblzf(block, capacity, b"\xff")
    if decoded:
        assert (error, consumed, output) == (0, len(block), zeros[:decoded])
        assert decoded == expected
        return
    assert error == reference_error == expected
    # The instructions before the failing one decode on their own to what was written.
    assert (liblzf(block[:consumed], capacity, b"\x00")[0] if consumed else 0) == len(output)
    # liblzf stops before the failing instruction writes: every byte it wrote differs from
    # one of the two fills. The prefix before that instruction must be the same.
    written = next((i for i in range(capacity, 0, -1) if zeros[i - 1] != 0 or ones[i - 1] != 0xFF), 0)
    assert output == zeros[:written]
