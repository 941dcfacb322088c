#include "module/exported_bytes.hpp"

#include <string_view>

#include "module/type_name.hpp"

namespace py = pybind11;

namespace tessarel {
namespace {

// Whether a struct-module format, such as "<O" or "T{<d:x:O:obj:}", has an object item; the
// names between colons are not items.
bool holds_objects(const char* format) {
    if (!format) return false;
    bool in_name = false;
    for (const char c : std::string_view(format)) {
        if (c == ':') in_name = !in_name;
        if (!in_name && c == 'O') return true;
    }
    return false;
}

// Whether `source` exports bytes at all, only not one after another.
bool strided(py::handle source) {
    Py_buffer view{};
    if (PyObject_GetBuffer(source.ptr(), &view, PyBUF_FULL_RO) != 0) {
        PyErr_Clear();
        return false;
    }
    PyBuffer_Release(&view);
    return true;
}

}  // namespace

ExportedBytes::ExportedBytes(py::handle source, const std::string& what) {
    if (!PyObject_CheckBuffer(source.ptr())) {
        throw py::type_error(what + " must be bytes, a bytearray, a NumPy array or another buffer, not " +
                             type_name(source));
    }
    if (PyObject_GetBuffer(source.ptr(), &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
        py::error_already_set refused;
        if (!strided(source)) throw refused;
        refused.restore();
        py::raise_from(PyExc_ValueError, (what + " must be C-contiguous, its bytes one after another: copy it first, "
                                                 "for example with numpy.ascontiguousarray")
                                             .c_str());
        throw py::error_already_set();
    }
    if (holds_objects(view_.format)) {
        const std::string format = view_.format;
        PyBuffer_Release(&view_);
        throw py::type_error(what + " holds Python objects (buffer format '" + format +
                             "'), not bytes: give bytes, a bytearray or a NumPy array of numbers");
    }
}

}  // namespace tessarel
