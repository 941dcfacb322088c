"""pack_rgb and unpack_rgb: PCL's packed colours, every one of them, in both packings."""

import numpy as np
import pytest

import tessarel

EVERY = np.arange(1 << 24, dtype=np.uint32)
COLOURS = np.stack([EVERY >> 16, EVERY >> 8, EVERY], axis=1).astype(np.uint8)
# Every alpha appears, 255 among them, which makes the float a NaN whose bits must survive.
ALPHAS = ((EVERY ^ (EVERY >> 8) ^ (EVERY >> 16)) & 0xFF).astype(np.uint8)


@pytest.mark.parametrize("dtype", [np.float32, np.uint32, ">f4", ">u4"])
@pytest.mark.parametrize("alpha", [False, True])
def test_every_colour_packs_as_pcl_lays_it_out_and_back(dtype, alpha):
    colours = np.column_stack([COLOURS, ALPHAS]) if alpha else COLOURS
    packed = tessarel.pack_rgb(colours, dtype)
    assert packed.dtype == dtype and packed.shape == (len(EVERY),)
    expected = EVERY | (ALPHAS.astype(np.uint32) << 24) if alpha else EVERY
    assert np.array_equal(packed.view(packed.dtype.str[0] + "u4"), expected)
    assert np.array_equal(tessarel.unpack_rgb(packed, alpha=alpha), colours)
    if not alpha:
        assert not np.isnan(packed.view(packed.dtype.str[0] + "f4")).any()


def test_unpack_reads_the_bits_of_a_big_endian_or_strided_field():
    values = EVERY[::4097].astype(">u4")
    assert np.array_equal(tessarel.unpack_rgb(values), COLOURS[::4097])
    assert np.array_equal(tessarel.unpack_rgb(EVERY.view(np.float32)[::4097]), COLOURS[::4097])


@pytest.mark.parametrize(
    ("call", "error", "match"),
    [
        (lambda: tessarel.unpack_rgb(np.zeros(3, np.float64)), TypeError, "float32 or uint32.*not float64"),
        (lambda: tessarel.unpack_rgb(np.zeros((3, 1), np.uint32)), ValueError, r"shape \(N,\), not \(3, 1\)"),
        (lambda: tessarel.pack_rgb(np.zeros((3, 3), np.int64)), TypeError, "uint8, not int64"),
        (lambda: tessarel.pack_rgb(np.zeros((3, 2), np.uint8)), ValueError, r"\(N, 4\), not \(3, 2\)"),
        (lambda: tessarel.pack_rgb(np.zeros((3, 3), np.uint8), np.float64), TypeError, "not float64"),
    ],
)
def test_colours_of_another_kind_are_refused(call, error, match):
    with pytest.raises(error, match=match):
        call()
