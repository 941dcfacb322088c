#pragma once
// save_pcd's Python arguments read into the cloud the core writes, every one checked before
// anything is written. The arrays stay referenced here, so their memory outlives the save.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "pcd/write/cloud_to_write.hpp"

namespace tessarel {

struct SaveArguments {
    CloudToWrite cloud;
    std::vector<pybind11::array> arrays;  // what the cloud's values point into
};

// `fields`, `width`, `height` and `viewpoint` may be None, for their defaults.
SaveArguments read_save_arguments(pybind11::handle points, pybind11::handle fields, const std::string& encoding,
                                  pybind11::handle width, pybind11::handle height, pybind11::handle viewpoint);

}  // namespace tessarel
