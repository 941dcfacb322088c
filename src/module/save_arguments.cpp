#include "module/save_arguments.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>

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

// A name the header can hold as one token: not empty, no whitespace, nothing unprintable.
std::string field_name(py::handle key) {
    if (!py::isinstance<py::str>(key)) {
        const auto type = py::str(py::type::of(key).attr("__name__")).cast<std::string>();
        throw py::type_error("field names must be str, not " + type);
    }
    const auto name = py::reinterpret_borrow<py::str>(key);
    if (py::len(name) == 0 || !name.attr("isprintable")().cast<bool>() || name.attr("__contains__")(" ").cast<bool>()) {
        throw py::value_error("field name " + py::repr(name).cast<std::string>() +
                              " cannot be written: PCD names are not empty and hold no whitespace or control "
                              "characters");
    }
    return name.cast<std::string>();
}

// Field `name`: one value per point, shape (N,), or COUNT of them, shape (N, COUNT). COUNT 0
// is what load_pcd returns for such a field; a coordinate has a value at every point.
FieldToWrite field_to_write(const std::string& name, const py::array& array, std::size_t points) {
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
                              ",) or (" + count + (coordinate ? ", COUNT) with COUNT 1 or more, as a coordinate"
                                                              : ", COUNT)"));
    }
    const std::size_t count = array.ndim() == 2 ? static_cast<std::size_t>(array.shape(1)) : 1;
    const std::ptrdiff_t element_stride = array.ndim() == 2 ? array.strides(1) : array.itemsize();
    return {name, *type, count,
            {static_cast<const std::byte*>(array.data()), array.strides(0), element_stride, byte_swapped(array)}};
}

// The coordinates: float32 or float64 of shape (N, 3), a column each.
std::vector<FieldToWrite> coordinates(const py::array& points) {
    const auto type = element_type_of(points);
    if (type != ElementType::f32 && type != ElementType::f64) {
        throw py::type_error("points has dtype " + dtype_name(points) + "; it must be float32 or float64");
    }
    if (points.ndim() != 2 || points.shape(1) != 3) {
        throw py::value_error("points has shape " + shape_text(points) + "; it must be (N, 3)");
    }
    std::vector<FieldToWrite> columns;
    for (const char* name : {"x", "y", "z"}) {
        const auto column = static_cast<std::ptrdiff_t>(columns.size());
        const auto* first = static_cast<const std::byte*>(points.data()) + column * points.strides(1);
        columns.push_back({name, *type, 1, {first, points.strides(0), points.itemsize(), byte_swapped(points)}});
    }
    return columns;
}

Encoding encoding_of(const std::string& name) {
    if (const auto encoding = encoding_named(name)) return *encoding;
    throw py::value_error("encoding must be 'ascii', 'binary' or 'binary_compressed', not " + quoted(name));
}

std::uint64_t count_argument(const char* what, const py::int_& value) {
    if (value < py::int_(0)) throw py::value_error(std::string(what) + " cannot be negative");
    return value.cast<std::uint64_t>();
}

// WIDTH and HEIGHT: N × 1 unless given; one of them given sets the other.
void organize(CloudToWrite& cloud, const std::optional<py::int_>& width, const std::optional<py::int_>& height) {
    cloud.width = width ? count_argument("width", *width) : 0;
    cloud.height = height ? count_argument("height", *height) : 1;
    if (width && !height && cloud.width != 0) cloud.height = cloud.points / cloud.width;
    if (!width && cloud.height != 0) cloud.width = cloud.points / cloud.height;
}

std::array<double, 7> viewpoint_of(py::handle viewpoint) {
    std::array<double, 7> pose{0, 0, 0, 1, 0, 0, 0};
    if (viewpoint.is_none()) return pose;
    const auto values = py::list(py::reinterpret_borrow<py::iterable>(viewpoint));
    if (values.size() != pose.size()) {
        throw py::value_error("viewpoint must be 7 numbers (tx ty tz qw qx qy qz), not " +
                              std::to_string(values.size()));
    }
    for (std::size_t i = 0; i < pose.size(); ++i) pose[i] = py::float_(values[i]);
    return pose;
}

}  // namespace

SaveArguments read_save_arguments(py::handle points, const std::optional<py::dict>& fields, const std::string& encoding,
                                  const std::optional<py::int_>& width, const std::optional<py::int_>& height,
                                  py::handle viewpoint) {
    SaveArguments arguments;
    CloudToWrite& cloud = arguments.cloud;
    cloud.encoding = encoding_of(encoding);
    arguments.arrays.push_back(as_array(points));
    cloud.fields = coordinates(arguments.arrays.back());
    cloud.points = static_cast<std::size_t>(arguments.arrays.back().shape(0));
    if (fields) {
        for (const auto& [key, values] : *fields) {
            const std::string name = field_name(key);
            arguments.arrays.push_back(as_array(values));
            FieldToWrite field = field_to_write(name, arguments.arrays.back(), cloud.points);
            // x, y or z in fields takes the place of that column of points, in its own type.
            const auto coordinate = std::find_if(cloud.fields.begin(), cloud.fields.begin() + 3,
                                                 [&](const FieldToWrite& f) { return f.name == name; });
            if (coordinate != cloud.fields.begin() + 3) {
                *coordinate = std::move(field);
            } else {
                cloud.fields.push_back(std::move(field));
            }
        }
    }
    organize(cloud, width, height);
    cloud.viewpoint = viewpoint_of(viewpoint);
    return arguments;
}

}  // namespace tessarel
