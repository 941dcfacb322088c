#include "module/load_functions.hpp"

#include <cstddef>
#include <span>

#include "module/array_assembly.hpp"
#include "module/exported_bytes.hpp"
#include "module/without_gil.hpp"
#include "pcd/format/element_type.hpp"
#include "pcd/read/pcd_loader.hpp"

namespace py = pybind11;

namespace tessarel {
namespace {

// Text that need not be UTF-8, such as a VERSION value, with replacement characters where it is not.
py::str lenient_text(const std::string& text) {
    PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (!decoded) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

}  // namespace

std::pair<py::array, py::dict> load_pcd(const FileName& filename, const FieldNames& fields, bool mmap) {
    const FieldRequest& names = fields.names;
    PcdCloud cloud = without_gil(
        [&] { return mmap ? read_pcd_mapped(filename.bytes, names) : read_pcd_file(filename.bytes, names); });
    return assemble_arrays(std::move(cloud), names);
}

std::pair<py::array, py::dict> load_pcd_buffer(py::handle data, const FieldNames& fields) {
    const FieldRequest& names = fields.names;
    const ExportedBytes exported(data, "data");
    return assemble_arrays(without_gil([&] { return read_pcd_buffer(exported.bytes(), names); }), names);
}

py::dict load_pcd_header(const FileName& filename) {
    return header_dict(without_gil([&] { return read_pcd_header_file(filename.bytes); }));
}

py::dict header_dict(const PcdHeader& header) {
    py::list fields;
    for (const PcdField& field : header.fields) {
        fields.append(py::make_tuple(name_text(field.name), py::str(std::string(1, upper_case(field.type))), field.size,
                                     field.count));
    }
    const auto& v = header.viewpoint;
    py::dict result;
    result["version"] = lenient_text(header.version);
    result["fields"] = std::move(fields);
    result["width"] = header.width;
    result["height"] = header.height;
    result["points"] = header.points;
    result["viewpoint"] = py::make_tuple(v[0], v[1], v[2], v[3], v[4], v[5], v[6]);
    result["data"] = py::str(header.data);
    return result;
}

}  // namespace tessarel
