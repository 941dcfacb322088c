#pragma once
// The bodies of tessarel.load_pcd and tessarel.load_pcd_header: read the file with the
// interpreter lock released, then hand what it holds to Python.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <utility>

namespace tessarel {

std::pair<pybind11::array, pybind11::dict> load_pcd(const std::string& filename);

pybind11::dict load_pcd_header(const std::string& filename);

}  // namespace tessarel
