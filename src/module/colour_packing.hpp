#pragma once
// Colours packed as PCL stores them, 0xAARRGGBB in a uint32 or in the bits of a float32, to
// and from one uint8 row per point.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace tessarel {

// (N,) packed values to (N, 3) uint8 red, green, blue, or (N, 4) with alpha.
pybind11::array unpack_rgb(pybind11::handle values, bool alpha);

// (N, 3) or (N, 4) uint8 colours to (N,) packed values of `dtype`, float32 or uint32.
pybind11::array pack_rgb(pybind11::handle colours, pybind11::handle dtype);

}  // namespace tessarel
