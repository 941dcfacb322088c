#pragma once
// The body of tessarel.save_pcd: read and check the arguments, then write with the
// interpreter lock released.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>

#include "module/file_name.hpp"

namespace tessarel {

void save_pcd(const FileName& filename, pybind11::handle points, const std::optional<pybind11::dict>& fields,
              const std::string& encoding, const std::optional<pybind11::int_>& width,
              const std::optional<pybind11::int_>& height, pybind11::handle viewpoint);

}  // namespace tessarel
