#pragma once
// Exposes a filled point buffer to Python as NumPy views that share it.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <utility>

#include "pcd/read/pcd_cloud.hpp"

namespace tessarel {

// Returns (points, fields). The cloud's buffer passes to a capsule that every array keeps alive.
std::pair<pybind11::array, pybind11::dict> assemble_arrays(PcdCloud cloud);

}  // namespace tessarel
