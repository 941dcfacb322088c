#include "module/colour_packing.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace py = pybind11;

namespace tessarel {
namespace {

py::object numpy() { return py::module_::import("numpy"); }

std::string text_of(py::handle value) { return py::str(value).cast<std::string>(); }

bool is_packing(const py::dtype& dtype) {
    return dtype.itemsize() == 4 && (dtype.kind() == 'f' || dtype.kind() == 'u' || dtype.kind() == 'i');
}

// Red is bits 16 to 23, green 8 to 15, blue 0 to 7 and alpha 24 to 31.
constexpr unsigned shifts[4] = {16, 8, 0, 24};

}  // namespace

py::array unpack_rgb(py::handle values, bool alpha) {
    auto array = py::reinterpret_borrow<py::array>(numpy().attr("asarray")(values));
    if (!is_packing(array.dtype())) {
        throw py::type_error("values must hold packed colours as float32 or uint32 (or int32), not " +
                             text_of(array.dtype()));
    }
    if (array.ndim() != 1) {
        throw py::value_error("values must have shape (N,), not " + text_of(py::tuple(array.attr("shape"))));
    }
    // The same bits in host order, whatever the dtype says they mean.
    const auto packed = py::array_t<std::uint32_t, py::array::c_style | py::array::forcecast>::ensure(
        array.attr("astype")(array.dtype().attr("newbyteorder")("="), py::arg("copy") = false)
            .attr("view")(numpy().attr("uint32")));
    if (!packed) throw py::error_already_set();
    const auto points = static_cast<std::size_t>(packed.shape(0));
    const std::size_t channels = alpha ? 4 : 3;
    py::array_t<std::uint8_t> colours({static_cast<py::ssize_t>(points), static_cast<py::ssize_t>(channels)});
    const std::uint32_t* in = packed.data();
    std::uint8_t* out = colours.mutable_data();
    for (std::size_t i = 0; i < points; ++i) {
        for (std::size_t c = 0; c < channels; ++c) {
            out[i * channels + c] = static_cast<std::uint8_t>(in[i] >> shifts[c]);
        }
    }
    return colours;
}

py::array pack_rgb(py::handle colours, py::handle dtype) {
    const py::dtype target = py::dtype::from_args(py::reinterpret_borrow<py::object>(dtype));
    if (!(target.itemsize() == 4 && (target.kind() == 'f' || target.kind() == 'u'))) {
        throw py::type_error("dtype must be float32 or uint32, not " + text_of(target));
    }
    auto array = py::reinterpret_borrow<py::array>(numpy().attr("asarray")(colours));
    if (array.dtype().kind() != 'u' || array.dtype().itemsize() != 1) {
        throw py::type_error("colours must be uint8, not " + text_of(array.dtype()));
    }
    if (array.ndim() != 2 || (array.shape(1) != 3 && array.shape(1) != 4)) {
        throw py::value_error("colours must have shape (N, 3) or (N, 4), not " +
                              text_of(py::tuple(array.attr("shape"))));
    }
    const auto rows = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>::ensure(array);
    if (!rows) throw py::error_already_set();
    const auto points = static_cast<std::size_t>(rows.shape(0));
    const auto channels = static_cast<std::size_t>(rows.shape(1));
    py::array_t<std::uint32_t> packed(static_cast<py::ssize_t>(points));
    const std::uint8_t* in = rows.data();
    std::uint32_t* out = packed.mutable_data();
    for (std::size_t i = 0; i < points; ++i) {
        std::uint32_t value = 0;  // without alpha the top byte stays 0, so no packed float is a NaN
        for (std::size_t c = 0; c < channels; ++c) value |= std::uint32_t{in[i * channels + c]} << shifts[c];
        out[i] = value;
    }
    // The same number in the byte order the dtype asks for, not the host's bits read in it.
    if (!target.attr("isnative").cast<bool>()) return packed.attr("byteswap")().attr("view")(target);
    return packed.attr("view")(target);
}

}  // namespace tessarel
