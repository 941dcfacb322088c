#include "module/save_function.hpp"

#include "module/save_arguments.hpp"
#include "module/without_gil.hpp"
#include "pcd/write/pcd_saver.hpp"

namespace py = pybind11;

namespace tessarel {

void save_pcd(const FileName& filename, py::handle points, py::handle fields, const std::string& encoding,
              py::handle width, py::handle height, py::handle viewpoint) {
    const SaveArguments arguments = read_save_arguments(points, fields, encoding, width, height, viewpoint);
    without_gil([&] { save_pcd_file(filename.bytes, arguments.cloud); });
}

}  // namespace tessarel
