// The tessarel extension module: one function, load_pcd.

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
}
