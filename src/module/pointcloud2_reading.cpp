#include "module/pointcloud2_reading.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "module/exported_bytes.hpp"
#include "module/field_names.hpp"
#include "module/integer_argument.hpp"
#include "module/pointcloud2_types.hpp"
#include "pcd/format/limits.hpp"

namespace py = pybind11;

namespace tessarel {
namespace {

constexpr std::uint64_t max_uint32 = std::numeric_limits<std::uint32_t>::max();

std::string quoted(const std::string& name) { return "'" + name + "'"; }

// An attribute that PointCloud2 holds as an unsigned integer of 32 bits or fewer.
std::uint64_t unsigned_attribute(py::handle owner, const char* name, const std::string& where) {
    const IntegerArgument read = integer_argument(owner.attr(name), where + name);
    if (read.overflow != 0 || read.value < 0 || static_cast<std::uint64_t>(read.value) > max_uint32) {
        throw py::value_error(where + name + " must be from 0 to " + std::to_string(max_uint32) + ", not " +
                              py::str(read.integer).cast<std::string>());
    }
    return static_cast<std::uint64_t>(read.value);
}

struct MessageField {
    std::string name;
    ElementType type;
    std::uint64_t offset;
    std::uint64_t count;

    std::uint64_t bytes() const noexcept { return element_size(type) * count; }
};

struct Message {
    std::uint64_t height = 0;
    std::uint64_t width = 0;
    std::uint64_t point_step = 0;
    std::uint64_t row_step = 0;
    bool big_endian = false;
    std::vector<MessageField> fields;
    py::array data;  // uint8, the arrays' base

    std::uint64_t points() const noexcept { return height * width; }
    // Rows follow each other without gaps, so that one stride reaches every point.
    bool flat() const noexcept { return height <= 1 || row_step == width * point_step; }
};

// A field's name as its UTF-8 bytes: a str with a lone surrogate has none.
std::string name_of(py::handle field) {
    const py::object name = field.attr("name");
    if (!py::isinstance<py::str>(name)) {
        throw py::type_error("PointCloud2 field names must be str, not " + type_name(name));
    }
    Py_ssize_t size = 0;
    const char* const utf8 = PyUnicode_AsUTF8AndSize(name.ptr(), &size);
    if (!utf8) {
        PyErr_Clear();
        throw py::value_error("PointCloud2 field name " + py::repr(name).cast<std::string>() +
                              " is not text that UTF-8 can encode: it holds a lone surrogate");
    }
    return {utf8, static_cast<std::size_t>(size)};
}

MessageField field_of(py::handle field, std::uint64_t point_step) {
    const std::string name = name_of(field);
    const std::string where = "PointCloud2 field " + quoted(name) + ": ";
    const std::uint64_t offset = unsigned_attribute(field, "offset", where);
    const std::uint64_t datatype = unsigned_attribute(field, "datatype", where);
    const std::uint64_t count = unsigned_attribute(field, "count", where);
    const auto type = element_of_datatype(static_cast<std::int64_t>(datatype));
    if (!type) {
        throw py::value_error(where + "datatype " + std::to_string(datatype) +
                              " is unknown; PointCloud2 defines 1 to 8 (INT8, UINT8, INT16, UINT16, INT32, UINT32, "
                              "FLOAT32, FLOAT64)");
    }
    MessageField read{name, *type, offset, count};
    if (offset > point_step || read.bytes() > point_step - offset) {
        throw py::value_error(where + std::to_string(read.bytes()) + " bytes at offset " + std::to_string(offset) +
                              " reach past the point_step of " + std::to_string(point_step));
    }
    return read;
}

// No two fields share a byte of the record.
void check_overlaps(const std::vector<MessageField>& fields) {
    std::vector<const MessageField*> sorted;
    for (const MessageField& field : fields) {
        if (field.bytes() != 0) sorted.push_back(&field);
    }
    std::sort(sorted.begin(), sorted.end(), [](auto* a, auto* b) { return a->offset < b->offset; });
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        const MessageField& before = *sorted[i - 1];
        const MessageField& after = *sorted[i];
        if (after.offset < before.offset + before.bytes()) {
            throw py::value_error("PointCloud2 fields " + quoted(before.name) + " (bytes " +
                                  std::to_string(before.offset) + " to " +
                                  std::to_string(before.offset + before.bytes()) + ") and " + quoted(after.name) +
                                  " (from byte " + std::to_string(after.offset) + ") overlap");
        }
    }
}

py::array data_of(py::handle message) {
    const py::object data = message.attr("data");
    const ExportedBytes bytes_only(data, "PointCloud2 data");
    return py::module_::import("numpy").attr("frombuffer")(data, py::arg("dtype") = "uint8");
}

// The data holds every point the sizes describe.
void check_sizes(const Message& message) {
    if (message.points() == 0) return;
    if (message.points() > max_cloud_bytes) {
        throw py::value_error("PointCloud2 of " + std::to_string(message.height) + " x " +
                              std::to_string(message.width) + " points is more than can be indexed");
    }
    const std::uint64_t row_bytes = message.width * message.point_step;
    if (message.row_step < row_bytes) {
        throw py::value_error("PointCloud2 row_step of " + std::to_string(message.row_step) +
                              " bytes is less than width x point_step = " + std::to_string(row_bytes));
    }
    // At most height × row_step, which two 32-bit numbers cannot make overflow 64 bits.
    const std::uint64_t needed = (message.height - 1) * message.row_step + row_bytes;
    const auto held = static_cast<std::uint64_t>(message.data.size());
    if (held < needed) {
        throw py::value_error("PointCloud2 data holds " + std::to_string(held) + " bytes; its " +
                              std::to_string(message.height) + " rows of " + std::to_string(message.width) +
                              " points need " + std::to_string(needed));
    }
}

Message message_of(py::handle message) {
    Message read;
    read.height = unsigned_attribute(message, "height", "PointCloud2 ");
    read.width = unsigned_attribute(message, "width", "PointCloud2 ");
    read.point_step = unsigned_attribute(message, "point_step", "PointCloud2 ");
    read.row_step = unsigned_attribute(message, "row_step", "PointCloud2 ");
    read.big_endian = py::bool_(message.attr("is_bigendian"));
    const py::object fields = message.attr("fields");
    if (py::isinstance<py::str>(fields) || py::isinstance<py::bytes>(fields) || !py::isinstance<py::iterable>(fields)) {
        throw py::type_error(
            "PointCloud2 fields must be a sequence of PointField (name, offset, datatype, count), "
            "not " +
            type_name(fields));
    }
    for (const py::handle field : fields) read.fields.push_back(field_of(field, read.point_step));
    check_overlaps(read.fields);
    read.data = data_of(message);
    check_sizes(read);
    return read;
}

py::dtype dtype_of(ElementType type) {
    return visit_element_type(type, [](auto zero) { return py::dtype::of<decltype(zero)>(); });
}

// The stride of an axis; one of length 1 or less is never stepped, whatever its step.
py::ssize_t stride(std::uint64_t length, std::uint64_t step) { return length > 1 ? static_cast<py::ssize_t>(step) : 0; }

// A field's values as load_pcd gives them: (N,) for COUNT 1, else (N, COUNT), in host order.
// A view over the data where one stride per axis reaches them.
py::array field_array(const Message& message, const MessageField& field) {
    const py::dtype native = dtype_of(field.type);
    std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(message.points())};
    if (field.count != 1) shape.push_back(static_cast<py::ssize_t>(field.count));
    if (message.points() == 0) return py::array(native, shape);
    const auto element = static_cast<py::ssize_t>(element_size(field.type));
    const bool swapped = message.big_endian && element > 1;
    const py::dtype stored = swapped ? py::dtype(native.attr("newbyteorder")(">")) : native;
    std::vector<py::ssize_t> view_shape, strides;
    if (message.flat()) {
        view_shape = {shape[0]};
        strides = {stride(message.points(), message.point_step)};
    } else {
        view_shape = {static_cast<py::ssize_t>(message.height), static_cast<py::ssize_t>(message.width)};
        strides = {stride(message.height, message.row_step), stride(message.width, message.point_step)};
    }
    if (field.count != 1) {
        view_shape.push_back(shape.back());
        strides.push_back(element);
    }
    const auto* first = static_cast<const std::uint8_t*>(message.data.data()) + field.offset;
    py::array view(stored, view_shape, strides, first, message.data);
    if (message.flat() && !swapped) return view;
    py::tuple final_shape(shape.size());
    for (std::size_t axis = 0; axis < shape.size(); ++axis) final_shape[axis] = shape[axis];
    return view.attr("astype")(native).attr("reshape")(final_shape);
}

bool is_coordinate(const std::string& name) { return name == "x" || name == "y" || name == "z"; }

// The last field of each coordinate's name, as load_pcd takes it.
std::array<const MessageField*, 3> coordinates(const Message& message) {
    std::array<const MessageField*, 3> found{};
    const std::array<const char*, 3> names{"x", "y", "z"};
    for (const MessageField& field : message.fields) {
        for (std::size_t axis = 0; axis < 3; ++axis) {
            if (field.name == names[axis]) found[axis] = &field;
        }
    }
    for (std::size_t axis = 0; axis < 3; ++axis) {
        if (!found[axis]) throw py::value_error("PointCloud2 message has no field " + quoted(names[axis]));
        if (found[axis]->count == 0) {
            throw py::value_error("PointCloud2 coordinate field " + quoted(names[axis]) + " has count 0");
        }
    }
    return found;
}

py::array points_array(const Message& message, const std::array<const MessageField*, 3>& axes) {
    const bool floats = std::all_of(axes.begin(), axes.end(), [](auto* f) { return f->type == ElementType::f32; });
    const bool consecutive = axes[1]->offset == axes[0]->offset + 4 && axes[2]->offset == axes[0]->offset + 8;
    if (floats && consecutive && !message.big_endian && message.flat() && message.points() != 0) {
        const auto* first = static_cast<const std::uint8_t*>(message.data.data()) + axes[0]->offset;
        return py::array(py::dtype::of<float>(), {static_cast<py::ssize_t>(message.points()), py::ssize_t{3}},
                         {stride(message.points(), message.point_step), py::ssize_t{4}}, first, message.data);
    }
    // The first value of each coordinate, converted to float32 as load_pcd converts it.
    py::list columns;
    for (const MessageField* axis : axes) {
        const py::array values = field_array(message, *axis);
        columns.append(axis->count == 1 ? py::object(values)
                                        : values[py::make_tuple(py::slice(py::none(), py::none(), py::none()), 0)]);
    }
    return py::module_::import("numpy").attr("stack")(columns, py::arg("axis") = 1, py::arg("dtype") = "float32",
                                                      py::arg("casting") = "unsafe");
}

}  // namespace

std::pair<py::array, py::dict> from_pointcloud2(py::handle message) {
    const Message read = message_of(message);
    py::array points = points_array(read, coordinates(read));
    py::dict fields;
    for (const MessageField& field : read.fields) {
        if (is_coordinate(field.name) && field.type == ElementType::f32 && field.count == 1) continue;
        fields[name_text(field.name)] = field_array(read, field);
    }
    return {std::move(points), std::move(fields)};
}

}  // namespace tessarel
