#include "module/exception_translation.hpp"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "pcd/io/buffer_allocation_error.hpp"
#include "pcd/io/file_output.hpp"
#include "pcd/read/field_selection.hpp"

namespace py = pybind11;

namespace tessarel {
namespace {

// Messages quote file names and header values, whose bytes need not be UTF-8. pybind11's own
// translation decodes them strictly and would raise UnicodeDecodeError in place of the error;
// here such bytes become backslash escapes.
void set_error(PyObject* type, std::string_view message) {
    const auto text = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "backslashreplace"));
    if (text) PyErr_SetObject(type, text.ptr());
}

void set_file_error(const FileError& error) {
    errno = error.code().value();
    const auto name = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeFSDefaultAndSize(error.filename().data(), static_cast<Py_ssize_t>(error.filename().size())));
    if (name) PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.ptr());
}

// What a cloud too large for memory needs, and the ways to read it that hold less of it.
std::string allocation_message(const BufferAllocationError& error) {
    char gib[32];
    std::snprintf(gib, sizeof gib, "%.1f", static_cast<double>(error.bytes()) / (1 << 30));
    return "Not enough memory for the PCD cloud: it needs " + std::to_string(error.bytes()) + " bytes (" + gib +
           " GiB) that could not be reserved; load_pcd(..., mmap=True) or iter_pcd(...) read it in less";
}

void translate(std::exception_ptr thrown) {
    try {
        std::rethrow_exception(thrown);
    } catch (const py::error_already_set&) {
        throw;  // Python's own exceptions, and pybind11's, go to pybind11's translation
    } catch (const py::builtin_exception&) {
        throw;
    } catch (const BufferAllocationError& error) {
        set_error(PyExc_MemoryError, allocation_message(error));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const FileError& error) {
        set_file_error(error);
    } catch (const MissingField& error) {
        set_error(PyExc_KeyError, error.what());
    } catch (const std::invalid_argument& error) {
        set_error(PyExc_ValueError, error.what());
    } catch (const std::length_error& error) {
        set_error(PyExc_ValueError, error.what());
    } catch (const std::exception& error) {
        set_error(PyExc_RuntimeError, error.what());
    }
}

}  // namespace

void register_exception_translation() { py::register_local_exception_translator(translate); }

py::error_already_set current_python_error() {
    py::detail::try_translate_exceptions();
    return {};
}

std::string exception_text(py::handle error) {
    return py::str(py::type::of(error).attr("__name__")).cast<std::string>() + ": " +
           py::str(error).cast<std::string>();
}

}  // namespace tessarel
