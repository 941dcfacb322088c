// The tessarel extension module: load_pcd and load_pcd_buffer, load_pcd_header for the
// metadata alone, and the package's version.

#include <pybind11/pybind11.h>

#include "module/load_functions.hpp"

namespace py = pybind11;

PYBIND11_MODULE(tessarel, module) {
    module.doc() = "Fast PCD loading (ASCII, binary, binary_compressed)";
    // Compiled in from the package metadata, so that reading it imports nothing.
    module.attr("__version__") = TESSAREL_VERSION;
    module.def("load_pcd", &tessarel::load_pcd, py::arg("filename"),
               R"doc(
        Load a PCD file into NumPy arrays.

        Returns:
            points: np.ndarray of shape (N,3) with x,y,z
            fields: dict of other NumPy arrays with arbitrary names, each of shape
                (N,) or (N, COUNT) with its field's dtype; an x, y or z field that
                is not float32 with COUNT 1 is there too, with its exact values
    )doc");
    module.def("load_pcd_buffer", &tessarel::load_pcd_buffer, py::arg("data"),
               R"doc(
        Load a PCD file held in memory into NumPy arrays, as load_pcd does.

        data: bytes, bytearray, memoryview, mmap.mmap, a uint8 NumPy array, or any
            C-contiguous object with the buffer protocol; it is read without a copy
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
