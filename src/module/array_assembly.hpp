#pragma once
// Exposes a filled point buffer to Python as NumPy views that share it.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <utility>

#include "pcd/read/field_selection.hpp"
#include "pcd/read/pcd_cloud.hpp"

namespace tessarel {

// Returns (points, fields): the fields among `names`, or every field for none. The arrays
// share one capsule, which holds the cloud's storage alive.
std::pair<pybind11::array, pybind11::dict> assemble_arrays(PcdCloud cloud, const FieldRequest& names);

}  // namespace tessarel
