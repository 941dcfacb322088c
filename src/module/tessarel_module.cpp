// The tessarel extension module: load_pcd, and load_pcd_header for the metadata alone.

#include <pybind11/pybind11.h>

#include "pcd/pcd_loader.hpp"

namespace py = pybind11;

PYBIND11_MODULE(tessarel, module) {
    module.doc() = "Fast PCD loading (ASCII, binary, binary_compressed)";
    module.def("load_pcd", &tessarel::load_pcd, py::arg("filename"),
               R"doc(
        Load a PCD file into NumPy arrays.

        Returns:
            points: np.ndarray of shape (N,3) with x,y,z
            fields: dict of other 1D NumPy arrays with arbitrary names/dtypes
    )doc");
    module.def("load_pcd_header", &tessarel::load_pcd_header, py::arg("filename"),
               R"doc(
        Read the header of a PCD file, without its data.

        Returns a dict:
            version: the VERSION value as written ("" without one)
            fields: list of (name, type letter, size, count)
            width, height: the cloud's organisation; points: the point count
            viewpoint: (tx, ty, tz, qw, qx, qy, qz), the sensor pose
            data: the encoding, lower-cased
    )doc");
}
