#pragma once
// save_pcd's Python arguments read into the cloud the core writes, every one checked before
// anything is written. The arrays stay referenced here, so their memory outlives the save.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <string>
#include <vector>

#include "pcd/cloud_to_write.hpp"

namespace tessarel {

struct SaveArguments {
    CloudToWrite cloud;
    std::vector<pybind11::array> arrays;  // what the cloud's values point into
};

SaveArguments read_save_arguments(pybind11::handle points, const std::optional<pybind11::dict>& fields,
                                  const std::string& encoding, const std::optional<pybind11::int_>& width,
                                  const std::optional<pybind11::int_>& height, pybind11::handle viewpoint);

}  // namespace tessarel
