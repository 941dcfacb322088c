#pragma once
// The body of tessarel.load_pcd: read the file, then expose its points to Python.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <utility>

namespace tessarel {

std::pair<pybind11::array, pybind11::dict> load_pcd(const std::string& filename);

}  // namespace tessarel
