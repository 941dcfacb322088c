#pragma once
// The `fields` argument of the loads: None for every field, or an iterable of str naming the
// fields to keep. A lone str is refused with a TypeError that says so, as iterating it would
// name its letters; so is a name that is not a str.

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "pcd/read/field_selection.hpp"

namespace tessarel {

struct FieldNames {
    FieldRequest names;
};

}  // namespace tessarel

namespace pybind11::detail {

template <>
struct type_caster<tessarel::FieldNames> {
    PYBIND11_TYPE_CASTER(tessarel::FieldNames, const_name("collections.abc.Iterable[str] | None"));

    bool load(handle source, bool) {
        if (source.is_none()) return true;
        if (isinstance<str>(source) || !isinstance<iterable>(source)) {
            throw type_error("fields must be an iterable of field names, such as [\"intensity\"], not " +
                             type_name(source));
        }
        std::vector<std::string> names;
        for (const handle name : source) names.push_back(field_name(name));
        value.names = std::move(names);
        return true;
    }

private:
    static std::string type_name(handle value) { return str(type::of(value).attr("__name__")).cast<std::string>(); }

    static std::string field_name(handle name) {
        if (!isinstance<str>(name)) throw type_error("field names must be str, not " + type_name(name));
        Py_ssize_t size = 0;
        const char* const utf8 = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
        if (!utf8) throw error_already_set();
        return {utf8, static_cast<std::size_t>(size)};
    }
};

}  // namespace pybind11::detail
