"""binary_compressed data sections: field-major LZF blocks whose columns are the arrays."""

import gc
import struct
import sys

import numpy as np
import pytest

from isolated import load_isolated
from pcd_writer import (
    DTYPES,
    column_major,
    compressed_block,
    fields,
    header,
    lzf_compress,
    pcd_bytes,
    random_values,
    write,
)

ALL_TYPES = "x y z " + " ".join(f"f{t}{s}:{t}{s}" for t, s in DTYPES) + " d:F4x3 k:U2x5"


def assert_same_arrays(first, second):
    np.testing.assert_array_equal(first[0].view(np.uint32), second[0].view(np.uint32))
    assert list(first[1]) == list(second[1])
    for name in first[1]:
        assert first[1][name].tobytes() == second[1][name].tobytes(), name


@pytest.mark.parametrize("spec", ["x y z", "x y z intensity", "intensity:U1 x:F8 y z ring:U2", ALL_TYPES])
@pytest.mark.parametrize("points", [0, 1, 2, 1000])
def test_compressed_equals_binary(load, spec, points):
    table = fields(spec)
    values = random_values(table, points, seed=points)
    assert_same_arrays(load(pcd_bytes(table, values, "binary_compressed")), load(pcd_bytes(table, values, "binary")))


def test_repetitive_data_uses_back_references(load):
    table = fields("x y z label:U4")
    values = [
        np.zeros(5000, np.float32),
        np.arange(5000, dtype=np.float32) % 3,
        np.ones(5000, np.float32),
        np.full(5000, 7, np.uint32),
    ]
    content = pcd_bytes(table, values, "binary_compressed")
    assert len(content) < 2000  # 80000 bytes of values
    points, extra = load(content)
    np.testing.assert_array_equal(points[:, 1], values[1])
    assert (extra["label"] == 7).all()


def padded_cloud(skip_padding: bool, points: int = 50):
    table = fields("x y z _:U1x3 i:U1")
    values = random_values(table, points, seed=3)
    body = compressed_block(column_major(table, values, skip_padding=skip_padding))
    return header(table, points, "binary_compressed") + body, values


@pytest.mark.parametrize("skip_padding", [True, False], ids=["padding-left-out", "padding-column"])
def test_padding_fields(load, skip_padding):
    content, values = padded_cloud(skip_padding)
    points, extra = load(content)
    np.testing.assert_array_equal(points, np.stack(values[:3], axis=1))
    np.testing.assert_array_equal(extra["i"], values[4])
    expected_padding = 0 if skip_padding else values[3]
    np.testing.assert_array_equal(extra["_"], np.broadcast_to(expected_padding, (50, 3)))


def test_padding_left_out_is_zero_in_reused_memory(load):
    # Heap blocks that held other bytes come back to the loader; none of them may show.
    content, _ = padded_cloud(True, points=20_000)
    for _ in range(5):
        junk = [bytearray(b"\xab") * (20_000 * 16) for _ in range(4)]
        del junk
        _, extra = load(content)
        assert not extra["_"].any()


def block_for(points: int, payload_bytes: int, table_spec="x y z") -> bytes:
    return header(fields(table_spec), points, "binary_compressed") + compressed_block(
        bytes(range(256)) * (payload_bytes // 256) + bytes(payload_bytes % 256)
    )


@pytest.mark.parametrize("payload", [12 * 10 - 12, 12 * 10 + 4, 12 * 10 - 1], ids=["smaller", "larger", "odd"])
def test_size_mismatch(load, payload):
    with pytest.raises(RuntimeError, match=f"block decodes to {payload} bytes, the header needs 120"):
        load(block_for(10, payload))


def test_trailing_bytes_are_ignored(load):
    table = fields("x y z")
    values = random_values(table, 20)
    points, _ = load(pcd_bytes(table, values, "binary_compressed") + b"\x00garbage after the block")
    np.testing.assert_array_equal(points, np.stack(values, axis=1))


def cloud_with_block(block: bytes, points=10) -> bytes:
    return header(fields("x y z"), points, "binary_compressed") + block


PAYLOAD = np.arange(30, dtype=np.float32).tobytes()
PACKED = lzf_compress(PAYLOAD)
LONGER = lzf_compress(PAYLOAD + bytes(12))
SHORTER = lzf_compress(PAYLOAD[:-12])
CUT_OFF = "(an instruction is cut off or refers to bytes before the output)"
TOO_LONG = "(an instruction writes past the expected size)"


# The LZF failures say where decoding stopped: LONGER's last instruction, a reference of 3
# bytes at its byte 118, would end past the 120 bytes; a control byte 0xff is a reference of
# 264 bytes; PACKED cut by 2 bytes ends inside the literal run that its byte 116 starts.
@pytest.mark.parametrize(
    "block, message",
    [
        (struct.pack("<II", len(LONGER), 120) + LONGER,
         f"block of 124 compressed bytes stopped at input byte 118, output byte 119 of 120 expected {TOO_LONG}"),
        (struct.pack("<II", len(PACKED), 120) + b"\xff" * len(PACKED),
         f"block of 119 compressed bytes stopped at input byte 0, output byte 0 of 120 expected {TOO_LONG}"),
        (struct.pack("<II", len(PACKED) - 2, 120) + PACKED[:-2],
         f"block of 117 compressed bytes stopped at input byte 116, output byte 118 of 120 expected {CUT_OFF}"),
        (struct.pack("<II", len(SHORTER), 120) + SHORTER,
         f"block of {len(SHORTER)} compressed bytes ended at output byte 108 of 120 expected"),
        (struct.pack("<II", 0, 120),
         "block of 0 compressed bytes cannot hold the 120 bytes of the cloud, at most 88 times as many"),
        (struct.pack("<II", len(PACKED), 120) + PACKED[:-3],
         f"PCD compressed data is truncated: expected {len(PACKED)} compressed bytes, "
         f"the file holds {len(PACKED) - 3}"),
        # A 32-bit build refuses a block its address space cannot hold before looking for it.
        (struct.pack("<II", 2**32 - 1, 120),
         "PCD compressed block of 4294967295 bytes is too large for this 32-bit build" if sys.maxsize < 2**32
         else "PCD compressed data is truncated: expected 4294967295 compressed bytes, the file holds 0"),
        (struct.pack("<II", 5, 120)[:7],
         "PCD compressed data is truncated: the 8-byte block header holds only 7 bytes"),
        (b"", "PCD compressed data is truncated: the 8-byte block header holds only 0 bytes"),
    ],
    ids=["decodes-longer", "corrupt", "cut-off", "decodes-shorter", "empty-block", "truncated", "huge-compressed-size",
         "short-header", "no-header"],
)
def test_damaged_blocks(load, block, message):
    if message.startswith("block"):
        message = "LZF decompression failed: " + message
    with pytest.raises(RuntimeError) as raised:
        load(cloud_with_block(block))
    assert str(raised.value) == message


@pytest.mark.parametrize("block", [struct.pack("<II", 0, 0), struct.pack("<II", 3, 0) + bytes(3), b""],
                         ids=["empty-block", "block-of-nothing", "no-size-words"])
def test_empty_cloud(load, block):
    points, _ = load(cloud_with_block(block, points=0))
    assert points.shape == (0, 3)


# A stream as long as what it decodes to: literal runs of 32 bytes (33 in, 32 out) and
# references to the byte before (2 in, 3 out).
UNIT = bytes([31, *range(100, 132)]) + b"\x20\x00"
EXACT_LZF = UNIT * 12
EXACT_LZF_DECODED = (bytes(range(100, 132)) + bytes([131] * 3)) * 12


# Blocks whose compressed size equals their uncompressed size: bytes stored as they are, by
# writers that could not shrink them, unless they decode as LZF to exactly that size.
@pytest.mark.parametrize(
    "columns, stored",
    [(PAYLOAD, PAYLOAD), (bytes(range(240)) * 2 + bytes(60), bytes(range(240)) * 2 + bytes(60)),
     (EXACT_LZF_DECODED, EXACT_LZF)],
    ids=["floats", "ramp", "valid-lzf"],
)
def test_blocks_stored_raw(load, columns, stored):
    points = len(columns) // 12
    content = cloud_with_block(struct.pack("<II", len(stored), len(stored)) + stored, points=points)
    loaded, _ = load(content)
    np.testing.assert_array_equal(loaded, np.frombuffer(columns, np.float32).reshape(3, points).T)


@pytest.mark.parametrize(
    "spec, points_strides",
    [
        ("x y z i:U2 n:F4x3 _:U1", (4, 4 * 300)),
        ("i:U2 x y z", (4, 4 * 300)),
        ("x:F8 y z k:I1", None),
        ("x i y z", None),
    ],
)
def test_arrays_are_views_of_their_columns(load, spec, points_strides):
    table = fields(spec)
    values = random_values(table, 300, seed=9)
    points, extra = load(pcd_bytes(table, values, "binary_compressed"))
    others = [(field, value) for field, value in zip(table, values) if field.name not in "xyz"]
    capsule = extra[others[0][0].name].base
    if points_strides:
        assert points.strides == points_strides and points.base is capsule
    else:
        assert points.flags.owndata and points.flags.c_contiguous
    for field, _ in others:
        array = extra[field.name]
        assert array.base is capsule and array.flags.c_contiguous, field.name
        assert array.strides == ((field.size * field.count, field.size) if field.count > 1 else (field.size,))
    field, value = others[-1]
    survivor = extra[field.name]
    del points, extra, capsule
    gc.collect()
    np.testing.assert_array_equal(survivor, value)


def test_failing_load_while_the_prefault_helper_runs(tmp_path):
    # 8 MB of literal runs whose last one is cut short: LZF fails at the very end, while
    # the helper may still be faulting in the pages of both buffers.
    points = 700_000
    payload = np.random.default_rng(1).integers(0, 256, points * 12, np.uint8).tobytes()
    runs = b"".join(bytes([31]) + payload[i:i + 32] for i in range(0, len(payload), 32))
    content = (
        header(fields("x y z"), points, "binary_compressed")
        + struct.pack("<II", len(runs) - 5, len(payload))
        + runs[:-5]
    )
    (outcome,) = load_isolated([write(tmp_path / "cut.pcd", content)])
    assert outcome.error == "RuntimeError"
    assert outcome.message == (f"LZF decompression failed: block of {len(runs) - 5} compressed bytes stopped at input "
                               f"byte {len(runs) - 33}, output byte {len(payload) - 32} of {len(payload)} expected "
                               "(an instruction is cut off or refers to bytes before the output)")
