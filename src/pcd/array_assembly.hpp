#pragma once
// Exposes a filled point buffer to Python as NumPy views that share it.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <utility>

#include "pcd/pcd_header.hpp"
#include "pcd/byte_buffer.hpp"

namespace tessarel {

// The NumPy dtype of a field's TYPE letter and SIZE; throws "Unsupported PCD type/size".
pybind11::dtype dtype_for_field(char type, std::int32_t size);

// Returns (points, fields). The buffer passes to a capsule that every array keeps alive.
std::pair<pybind11::array, pybind11::dict> assemble_arrays(PointBuffer buffer, const PcdHeader& header,
                                                           const Coordinates& xyz);

}  // namespace tessarel
