#include "pcd/array_assembly.hpp"

#include <cstring>
#include <stdexcept>

#include "pcd/element_type.hpp"

namespace py = pybind11;

namespace tessarel {
namespace {

bool is_coordinate(const std::string& name) { return name == "x" || name == "y" || name == "z"; }

bool is_f32(const PcdField& field) { return field.type == 'F' && field.size == 4; }

// x, y and z already lie in the buffer as three consecutive float32 values.
bool packed_float_coordinates(const PcdHeader& header, const Coordinates& xyz) {
    const PcdField& x = header.fields[xyz.x];
    const PcdField& y = header.fields[xyz.y];
    const PcdField& z = header.fields[xyz.z];
    return is_f32(x) && is_f32(y) && is_f32(z) && x.count > 0 && y.count > 0 && z.count > 0 &&
           y.offset == x.offset + 4 && z.offset == x.offset + 8;
}

// The first value of `field` in every point, converted to float32 into column `column` of `out`.
void convert_coordinate(const std::byte* base, const PcdHeader& header, const PcdField& field, float* out,
                        int column) {
    if (field.count < 1) {
        throw std::runtime_error("PCD coordinate field '" + field.name + "' has COUNT 0");
    }
    const auto points = static_cast<std::size_t>(header.points);
    const auto step = static_cast<std::size_t>(header.point_step);
    const std::byte* source = base + field.offset;
    visit_element_type(required_element_type(field.type, field.size), [&](auto zero) {
        for (std::size_t i = 0; i < points; ++i, source += step) {
            decltype(zero) value;
            std::memcpy(&value, source, sizeof value);
            out[i * 3 + column] = static_cast<float>(value);
        }
    });
}

py::array points_array(const std::byte* base, const PcdHeader& header, const Coordinates& xyz,
                       const py::capsule& owner) {
    const auto points = static_cast<py::ssize_t>(header.points);
    if (packed_float_coordinates(header, xyz)) {
        const std::byte* first = base + header.fields[xyz.x].offset;
        return py::array(py::dtype::of<float>(), {points, py::ssize_t{3}},
                         {static_cast<py::ssize_t>(header.point_step), py::ssize_t{4}}, first, owner);
    }
    py::array_t<float> converted({points, py::ssize_t{3}});
    float* out = converted.mutable_data();
    convert_coordinate(base, header, header.fields[xyz.x], out, 0);
    convert_coordinate(base, header, header.fields[xyz.y], out, 1);
    convert_coordinate(base, header, header.fields[xyz.z], out, 2);
    return converted;
}

// A field with COUNT 1 is one value per point; any other COUNT gives one row per point.
py::array field_array(const std::byte* base, const PcdHeader& header, const PcdField& field,
                      const py::capsule& owner) {
    const py::dtype dtype = dtype_for_field(field.type, field.size);
    const auto points = static_cast<py::ssize_t>(header.points);
    const auto step = static_cast<py::ssize_t>(header.point_step);
    const std::byte* first = base + field.offset;
    if (field.count == 1) return py::array(dtype, {points}, {step}, first, owner);
    return py::array(dtype, {points, py::ssize_t{field.count}}, {step, py::ssize_t{field.size}}, first, owner);
}

}  // namespace

py::dtype dtype_for_field(char type, std::int32_t size) {
    return visit_element_type(required_element_type(type, size),
                              [](auto zero) { return py::dtype::of<decltype(zero)>(); });
}

std::pair<py::array, py::dict> assemble_arrays(PointBuffer buffer, const PcdHeader& header, const Coordinates& xyz) {
    // The capsule takes the storage only once it exists, so a failure here still frees it.
    py::capsule owner(buffer.data(), +[](void* bytes) { std::free(bytes); });
    const std::byte* const base = buffer.release();
    py::array points = points_array(base, header, xyz, owner);
    py::dict fields;
    for (const PcdField& field : header.fields) {
        if (is_coordinate(field.name)) continue;
        fields[py::str(field.name.c_str())] = field_array(base, header, field, owner);
    }
    return {std::move(points), std::move(fields)};
}

}  // namespace tessarel
