#pragma once
// What save_pcd takes, as the attributes of a PointCloud2 message.

#include <pybind11/pybind11.h>

namespace tessarel {

// A dict of height, width, fields as (name, offset, datatype, count) tuples, is_bigendian,
// point_step, row_step, data as bytes and is_dense.
pybind11::dict to_pointcloud2(pybind11::handle points, pybind11::handle fields, pybind11::handle height);

}  // namespace tessarel
