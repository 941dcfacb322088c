// The tessarel extension module: one function, load_pcd, and the package's version.

#include <pybind11/pybind11.h>

#include "pcd/pcd_loader.hpp"

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
                (N,) or (N, COUNT) with its field's dtype
    )doc");
}
