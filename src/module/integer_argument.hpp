#pragma once
// Integer arguments read as operator.index reads them: an int, a NumPy integer or anything with
// __index__, while a float, a Fraction or a Decimal is refused rather than cut to an integer.

#include <pybind11/pybind11.h>

#include <string>

#include "module/type_name.hpp"

namespace tessarel {

struct IntegerArgument {
    pybind11::object integer;  // the int itself, for messages
    long long value = 0;       // when overflow is 0
    int overflow = 0;          // 1 or -1: beyond long long, on that side
};

// Throws TypeError naming `what` for a value that is no integer; an exception of its __index__
// passes out.
inline IntegerArgument integer_argument(pybind11::handle value, const std::string& what) {
    if (!PyIndex_Check(value.ptr())) throw pybind11::type_error(what + " must be an integer, not " + type_name(value));
    IntegerArgument read{pybind11::reinterpret_steal<pybind11::object>(PyNumber_Index(value.ptr()))};
    if (!read.integer) throw pybind11::error_already_set();
    read.value = PyLong_AsLongLongAndOverflow(read.integer.ptr(), &read.overflow);
    if (read.value == -1 && PyErr_Occurred()) throw pybind11::error_already_set();
    return read;
}

}  // namespace tessarel
