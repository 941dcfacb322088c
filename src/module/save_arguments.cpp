#include "module/save_arguments.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "pcd/format/field_name.hpp"
#include "pcd/format/limits.hpp"

namespace py = pybind11;

namespace tessarel {
namespace {

py::array as_array(py::handle values) {
    return py::reinterpret_borrow<py::array>(py::module_::import("numpy").attr("asarray")(values));
}

std::string dtype_name(const py::array& array) { return py::str(array.dtype()).cast<std::string>(); }

// The element type of a NumPy dtype: the ten of the type table, in either byte order.
std::optional<ElementType> element_type_of(const py::array& array) {
    const py::dtype dtype = array.dtype();
    const char letter = dtype.kind() == 'f' ? 'F' : dtype.kind() == 'i' ? 'I' : dtype.kind() == 'u' ? 'U' : '\0';
    if (letter == '\0') return std::nullopt;
    return element_type(letter, static_cast<std::int32_t>(dtype.itemsize()));
}

bool byte_swapped(const py::array& array) { return array.dtype().byteorder() == '>'; }

std::string quoted(const std::string& name) { return "'" + name + "'"; }

std::string shape_text(const py::array& array) { return py::str(py::tuple(array.attr("shape"))).cast<std::string>(); }

std::string type_name(py::handle value) { return py::str(py::type::of(value).attr("__name__")).cast<std::string>(); }

// A name the header can hold as one token, as the core's rule says. A str that is no text
// (a lone surrogate) has no UTF-8 to write.
std::string field_name(py::handle key) {
    if (!py::isinstance<py::str>(key)) throw py::type_error("field names must be str, not " + type_name(key));
    Py_ssize_t size = 0;
    const char* const utf8 = PyUnicode_AsUTF8AndSize(key.ptr(), &size);
    if (!utf8) PyErr_Clear();
    const std::string_view name = utf8 ? std::string_view(utf8, static_cast<std::size_t>(size)) : std::string_view();
    if (!utf8 || !is_writable_name(name)) {
        throw py::value_error("field name " + py::repr(key).cast<std::string>() +
                              " cannot be written: PCD names are not empty and hold no whitespace or control "
                              "characters");
    }
    return std::string(name);
}

// A field and where its values lie.
struct Column {
    FieldLayout field;
    FieldValues values;
};

// Field `name`: one value per point, shape (N,), or COUNT of them, shape (N, COUNT). COUNT 0
// is what load_pcd returns for such a field; a coordinate has a value at every point.
Column field_to_write(const std::string& name, const py::array& array, std::size_t points) {
    const auto type = element_type_of(array);
    if (!type) {
        throw py::type_error("field " + quoted(name) + " has dtype " + dtype_name(array) +
                             ", which PCD cannot hold: use float32, float64, or a signed or unsigned integer "
                             "of 8, 16, 32 or 64 bits");
    }
    const bool shaped = (array.ndim() == 1 || array.ndim() == 2) && static_cast<std::size_t>(array.shape(0)) == points;
    const bool coordinate = name == "x" || name == "y" || name == "z";
    if (!shaped || (coordinate && array.ndim() == 2 && array.shape(1) < 1)) {
        const std::string count = std::to_string(points);
        throw py::value_error("field " + quoted(name) + " has shape " + shape_text(array) + "; it must be (" + count +
                              ",) or (" + count +
                              (coordinate ? ", COUNT) with COUNT 1 or more, as a coordinate" : ", COUNT)"));
    }
    const std::size_t count = array.ndim() == 2 ? static_cast<std::size_t>(array.shape(1)) : 1;
    const std::ptrdiff_t element_stride = array.ndim() == 2 ? array.strides(1) : array.itemsize();
    return {{name, *type, count},
            {static_cast<const std::byte*>(array.data()), array.strides(0), element_stride, byte_swapped(array)}};
}

// The coordinates: float32 or float64 of shape (N, 3), a column each.
std::vector<Column> coordinates(const py::array& points) {
    const auto type = element_type_of(points);
    if (type != ElementType::f32 && type != ElementType::f64) {
        throw py::type_error("points has dtype " + dtype_name(points) + "; it must be float32 or float64");
    }
    if (points.ndim() != 2 || points.shape(1) != 3) {
        throw py::value_error("points has shape " + shape_text(points) + "; it must be (N, 3)");
    }
    std::vector<Column> columns;
    for (const char* name : {"x", "y", "z"}) {
        const auto column = static_cast<std::ptrdiff_t>(columns.size());
        const auto* first = static_cast<const std::byte*>(points.data()) + column * points.strides(1);
        columns.push_back({{name, *type, 1}, {first, points.strides(0), points.itemsize(), byte_swapped(points)}});
    }
    return columns;
}

Encoding encoding_of(const std::string& name) {
    if (const auto encoding = encoding_named(name)) return *encoding;
    std::string names;
    for (std::size_t i = 0; i < encoding_names.size(); ++i) {
        names += i == 0 ? "" : i + 1 == encoding_names.size() ? " or " : ", ";
        names += quoted(std::string(encoding_names[i]));
    }
    throw py::value_error("encoding must be " + names + ", not " + quoted(name));
}

// A value beyond 64 bits is described by its size: its digits could be too many to print.
std::string integer_text(const py::object& integer, int overflow, long long value) {
    if (overflow == 0) return std::to_string(value);
    const std::string sign = overflow < 0 ? "a negative" : "an";
    return sign + " integer of " + py::str(integer.attr("bit_length")()).cast<std::string>() + " bits";
}

// WIDTH or HEIGHT: any integer, as operator.index takes it, that a header holds as a signed 64-bit count.
std::uint64_t count_argument(const char* what, py::handle value) {
    if (!PyIndex_Check(value.ptr())) {
        throw py::type_error(std::string(what) + " must be an integer, not " + type_name(value));
    }
    const auto integer = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
    if (!integer) throw py::error_already_set();
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
    if (count == -1 && PyErr_Occurred()) throw py::error_already_set();
    constexpr auto most = static_cast<long long>(max_points);
    if (overflow != 0 || count < 0 || count > most) {
        throw py::value_error(std::string(what) + " must be from 0 to " + std::to_string(most) + ", not " +
                              integer_text(integer, overflow, count));
    }
    return static_cast<std::uint64_t>(count);
}

// WIDTH and HEIGHT: N × 1 unless given; one of them given sets the other.
void organize(CloudToWrite& cloud, py::handle width, py::handle height) {
    cloud.width = width.is_none() ? 0 : count_argument("width", width);
    cloud.height = height.is_none() ? 1 : count_argument("height", height);
    if (!width.is_none() && height.is_none() && cloud.width != 0) cloud.height = cloud.points / cloud.width;
    if (width.is_none() && cloud.height != 0) cloud.width = cloud.points / cloud.height;
}

// A real number as PyFloat_AsDouble reads it, through __float__ or __index__; unlike float(), no text.
bool is_real(py::handle value) {
    const PyNumberMethods* number = Py_TYPE(value.ptr())->tp_as_number;
    return number && (number->nb_float || number->nb_index);
}

// The sensor pose: 7 numbers in any iterable but text, whose characters would pass for digits.
std::array<double, 7> viewpoint_of(py::handle viewpoint) {
    std::array<double, 7> pose{0, 0, 0, 1, 0, 0, 0};
    if (viewpoint.is_none()) return pose;
    const std::string expected = "viewpoint must be 7 real numbers (tx ty tz qw qx qy qz)";
    const bool text =
        PyUnicode_Check(viewpoint.ptr()) || PyBytes_Check(viewpoint.ptr()) || PyByteArray_Check(viewpoint.ptr());
    if (text || !py::isinstance<py::iterable>(viewpoint)) {
        throw py::type_error(expected + ", not " + type_name(viewpoint));
    }
    const auto values = py::list(py::reinterpret_borrow<py::iterable>(viewpoint));
    if (values.size() != pose.size()) throw py::value_error(expected + "; it holds " + std::to_string(values.size()));
    for (std::size_t i = 0; i < pose.size(); ++i) {
        const py::object value = values[i];
        if (!is_real(value)) {
            throw py::type_error(expected + "; value " + std::to_string(i) + " is of type " + type_name(value));
        }
        pose[i] = PyFloat_AsDouble(value.ptr());
        if (pose[i] == -1 && PyErr_Occurred()) throw py::error_already_set();
    }
    return pose;
}

// The field names, in the order of `fields`: any mapping, not only a dict.
py::list field_names(py::handle fields) {
    if (!py::isinstance(fields, py::module_::import("collections.abc").attr("Mapping"))) {
        throw py::type_error("fields must be a mapping of field names to arrays, such as a dict, not " +
                             type_name(fields));
    }
    const auto keys = py::reinterpret_steal<py::list>(PyMapping_Keys(fields.ptr()));
    if (!keys) throw py::error_already_set();
    return keys;
}

}  // namespace

SaveArguments read_save_arguments(py::handle points, py::handle fields, const std::string& encoding, py::handle width,
                                  py::handle height, py::handle viewpoint) {
    SaveArguments arguments;
    CloudToWrite& cloud = arguments.cloud;
    cloud.encoding = encoding_of(encoding);
    arguments.arrays.push_back(as_array(points));
    std::vector<Column> columns = coordinates(arguments.arrays.back());
    cloud.points = static_cast<std::size_t>(arguments.arrays.back().shape(0));
    if (!fields.is_none()) {
        for (const py::handle key : field_names(fields)) {
            const std::string name = field_name(key);
            arguments.arrays.push_back(as_array(fields[key]));
            Column column = field_to_write(name, arguments.arrays.back(), cloud.points);
            // x, y or z in fields takes the place of that column of points, in its own type.
            const auto coordinate = std::find_if(columns.begin(), columns.begin() + 3,
                                                 [&](const Column& c) { return c.field.name == name; });
            if (coordinate != columns.begin() + 3) {
                *coordinate = std::move(column);
            } else {
                columns.push_back(std::move(column));
            }
        }
    }
    std::vector<FieldLayout> record;
    for (Column& column : columns) {
        record.push_back(std::move(column.field));
        cloud.values.push_back(column.values);
    }
    cloud.record = lay_out(std::move(record));
    organize(cloud, width, height);
    cloud.viewpoint = viewpoint_of(viewpoint);
    return arguments;
}

}  // namespace tessarel
