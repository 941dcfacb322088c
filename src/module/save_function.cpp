#include "module/save_function.hpp"

#include <cerrno>

#include "module/save_arguments.hpp"
#include "module/without_gil.hpp"
#include "pcd/file_output.hpp"
#include "pcd/pcd_saver.hpp"

namespace py = pybind11;

namespace tessarel {

void save_pcd(const FileName& filename, py::handle points, const std::optional<py::dict>& fields,
              const std::string& encoding, const std::optional<py::int_>& width, const std::optional<py::int_>& height,
              py::handle viewpoint) {
    const SaveArguments arguments = read_save_arguments(points, fields, encoding, width, height, viewpoint);
    without_gil([&] { save_pcd_file(filename.bytes, arguments.cloud); });
}

void register_file_errors() {
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) std::rethrow_exception(thrown);
        } catch (const FileError& error) {
            errno = error.code().value();
            const auto name = py::reinterpret_steal<py::object>(PyUnicode_DecodeFSDefaultAndSize(
                error.filename().data(), static_cast<Py_ssize_t>(error.filename().size())));
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
        }
    });
}

}  // namespace tessarel
