#include "module/load_functions.hpp"

#include "module/array_assembly.hpp"
#include "module/without_gil.hpp"
#include "pcd/element_type.hpp"
#include "pcd/pcd_loader.hpp"

namespace py = pybind11;

namespace tessarel {

std::pair<py::array, py::dict> load_pcd(const std::string& filename) {
    return assemble_arrays(without_gil([&] { return read_pcd_file(filename); }));
}

py::dict load_pcd_header(const std::string& filename) {
    const PcdHeader header = without_gil([&] { return read_pcd_header_file(filename); });
    py::list fields;
    for (const PcdField& field : header.fields) {
        fields.append(py::make_tuple(py::str(field.name.data(), field.name.size()),
                                     py::str(std::string(1, upper_case(field.type))), field.size, field.count));
    }
    const auto& v = header.viewpoint;
    py::dict result;
    result["version"] = py::str(header.version);
    result["fields"] = std::move(fields);
    result["width"] = header.width;
    result["height"] = header.height;
    result["points"] = header.points;
    result["viewpoint"] = py::make_tuple(v[0], v[1], v[2], v[3], v[4], v[5], v[6]);
    result["data"] = py::str(header.data);
    return result;
}

}  // namespace tessarel
