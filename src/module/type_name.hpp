#pragma once
// The name of a Python object's type, as messages name what they found.

#include <pybind11/pybind11.h>

#include <string>

namespace tessarel {

inline std::string type_name(pybind11::handle value) {
    return pybind11::str(pybind11::type::of(value).attr("__name__")).cast<std::string>();
}

}  // namespace tessarel
