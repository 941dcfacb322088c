#pragma once
// Field names between the file and Python, and the `fields` argument of the loads: None for
// every field, or an iterable of str naming the fields to keep. A lone str, bytes or bytearray
// is refused with a TypeError that says so, as iterating it would name its letters or bytes;
// so is a name that is not a str. A name's bytes that are not UTF-8 are surrogate escapes in
// Python, as os.fsdecode makes them of file names: no two names become one key.

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>
#include <vector>

#include "pcd/read/field_selection.hpp"

namespace tessarel {

struct FieldNames {
    FieldRequest names;
};

inline pybind11::str name_text(std::string_view name) {
    PyObject* const text = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "surrogateescape");
    if (!text) throw pybind11::error_already_set();
    return pybind11::reinterpret_steal<pybind11::str>(text);
}

// The bytes of a name that name_text made, or of any str.
inline std::string name_bytes(pybind11::handle name) {
    const auto bytes = pybind11::reinterpret_steal<pybind11::object>(
        PyUnicode_AsEncodedString(name.ptr(), "utf-8", "surrogateescape"));
    if (!bytes) throw pybind11::error_already_set();
    return {PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr()))};
}

}  // namespace tessarel

namespace pybind11::detail {

template <>
struct type_caster<tessarel::FieldNames> {
    PYBIND11_TYPE_CASTER(tessarel::FieldNames, const_name("collections.abc.Iterable[str] | None"));

    bool load(handle source, bool) {
        if (source.is_none()) return true;
        const bool text = isinstance<str>(source) || isinstance<bytes>(source) || PyByteArray_Check(source.ptr());
        // Anything with __iter__ is iterated, so that the exception of its own __iter__ passes out.
        if (text || !(Py_TYPE(source.ptr())->tp_iter || PySequence_Check(source.ptr()))) {
            throw type_error("fields must be an iterable of field names, such as [\"intensity\"], not " +
                             type_name(source));
        }
        const auto names = reinterpret_steal<object>(PyObject_GetIter(source.ptr()));
        if (!names) throw error_already_set();
        std::vector<std::string> read;
        while (const auto name = reinterpret_steal<object>(PyIter_Next(names.ptr()))) read.push_back(field_name(name));
        if (PyErr_Occurred()) throw error_already_set();
        value.names = std::move(read);
        return true;
    }

private:
    static std::string type_name(handle value) { return str(type::of(value).attr("__name__")).cast<std::string>(); }

    static std::string field_name(handle name) {
        if (!isinstance<str>(name)) throw type_error("field names must be str, not " + type_name(name));
        return tessarel::name_bytes(name);
    }
};

}  // namespace pybind11::detail
