#pragma once
// File name arguments: `str`, `bytes`, `bytearray`, or an `os.PathLike` whose `os.fspath` is
// `str` or `bytes`, as Python's own I/O functions take them. A `str` is encoded as
// `os.fsencode` does, so the surrogate escapes of `os.listdir` name the file they came from.
// An object that is not path-like does not match, and pybind11 raises its TypeError for
// incompatible arguments; an exception of `__fspath__`, or of the encoding, passes out as it is.

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
        auto path = reinterpret_steal<object>(PyOS_FSPath(source.ptr()));
        if (!path) {
            error_already_set error;
            if (!is_path_like(source)) return false;
            throw error;
        }
        if (PyUnicode_Check(path.ptr())) {
            path = reinterpret_steal<object>(PyUnicode_EncodeFSDefault(path.ptr()));
            if (!path) throw error_already_set();
        }
        value.bytes.assign(PyBytes_AS_STRING(path.ptr()), PyBytes_GET_SIZE(path.ptr()));
        return true;
    }

private:
    // os.fspath fails for an object whose type has no __fspath__: the argument is of the wrong
    // type. Anything else that fails is the path's own error.
    static bool is_path_like(handle source) { return hasattr(type::handle_of(source), "__fspath__"); }
};

}  // namespace pybind11::detail
