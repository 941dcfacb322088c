#pragma once
// File name arguments: `str` (as UTF-8), `bytes`, `bytearray`, or an `os.PathLike` whose
// `os.fspath` is `str` or `bytes`, as Python's own I/O functions take them. Anything else,
// and a `str` that UTF-8 cannot encode (a lone surrogate), does not match, so pybind11 raises
// its TypeError for incompatible arguments.

#include <pybind11/pybind11.h>

#include <string>

namespace tessarel {

struct FileName {
    std::string bytes;
};

}  // namespace tessarel

namespace pybind11::detail {

template <>
struct type_caster<tessarel::FileName> {
    PYBIND11_TYPE_CASTER(tessarel::FileName, const_name("str | bytes | bytearray | os.PathLike"));

    bool load(handle source, bool) {
        if (PyByteArray_Check(source.ptr())) {
            value.bytes.assign(PyByteArray_AS_STRING(source.ptr()), PyByteArray_GET_SIZE(source.ptr()));
            return true;
        }
        const auto path = reinterpret_steal<object>(PyOS_FSPath(source.ptr()));
        if (!path) return clear_error();
        if (PyBytes_Check(path.ptr())) {
            value.bytes.assign(PyBytes_AS_STRING(path.ptr()), PyBytes_GET_SIZE(path.ptr()));
            return true;
        }
        Py_ssize_t size = 0;
        const char* const text = PyUnicode_AsUTF8AndSize(path.ptr(), &size);
        if (!text) return clear_error();
        value.bytes.assign(text, static_cast<std::size_t>(size));
        return true;
    }

private:
    static bool clear_error() {
        PyErr_Clear();
        return false;
    }
};

}  // namespace pybind11::detail
