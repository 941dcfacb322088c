#pragma once
// The bodies of tessarel.load_pcd, load_pcd_buffer and load_pcd_header: read with the
// interpreter lock released, then hand what was read to Python.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <utility>

#include "module/file_name.hpp"

namespace tessarel {

std::pair<pybind11::array, pybind11::dict> load_pcd(const FileName& filename);

// `data` is any C-contiguous object with the buffer protocol; its bytes are read where they lie.
std::pair<pybind11::array, pybind11::dict> load_pcd_buffer(pybind11::handle data);

pybind11::dict load_pcd_header(const FileName& filename);

}  // namespace tessarel
