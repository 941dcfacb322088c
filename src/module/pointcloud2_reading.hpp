#pragma once
// A PointCloud2 message read into what load_pcd returns, its fields as views over its data.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <utility>

namespace tessarel {

// `message` is any object with PointCloud2's attributes. Every size is checked against the
// data before any view is made.
std::pair<pybind11::array, pybind11::dict> from_pointcloud2(pybind11::handle message);

}  // namespace tessarel
