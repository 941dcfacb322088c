#pragma once
// The body of tessarel.save_pcd: read and check the arguments, then write with the
// interpreter lock released.

#include <pybind11/pybind11.h>

#include <string>

#include "module/file_name.hpp"

namespace tessarel {

void save_pcd(const FileName& filename, pybind11::handle points, pybind11::handle fields, const std::string& encoding,
              pybind11::handle width, pybind11::handle height, pybind11::handle viewpoint);

}  // namespace tessarel
