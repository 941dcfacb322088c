#include "pcd/array_assembly.hpp"

#include <cstring>

#include "pcd/element_type.hpp"

namespace py = pybind11;

namespace tessarel {
namespace {

bool is_coordinate(const std::string& name) { return name == "x" || name == "y" || name == "z"; }

py::dtype dtype_of(ElementType type) {
    return visit_element_type(type, [](auto zero) { return py::dtype::of<decltype(zero)>(); });
}

const FieldLayout& coordinate(const PcdLayout& layout, int axis) { return layout.fields[layout.xyz[axis]]; }

// x, y and z already lie in the buffer as three consecutive float32 values.
bool packed_float_coordinates(const PcdLayout& layout) {
    const FieldLayout& x = coordinate(layout, 0);
    const FieldLayout& y = coordinate(layout, 1);
    const FieldLayout& z = coordinate(layout, 2);
    return x.type == ElementType::f32 && y.type == ElementType::f32 && z.type == ElementType::f32 &&
           y.offset == x.offset + 4 && z.offset == x.offset + 8;
}

// The first value of coordinate `axis` in every point, converted to float32 into column
// `axis` of `out`.
void convert_coordinate(const std::byte* base, const PcdLayout& layout, int axis, float* out) {
    const FieldLayout& field = coordinate(layout, axis);
    const std::byte* source = base + field.offset;
    visit_element_type(field.type, [&](auto zero) {
        for (std::size_t i = 0; i < layout.points; ++i, source += layout.record_size) {
            decltype(zero) value;
            std::memcpy(&value, source, sizeof value);
            out[i * 3 + static_cast<std::size_t>(axis)] = static_cast<float>(value);
        }
    });
}

py::array points_array(const std::byte* base, const PcdLayout& layout, const py::capsule& owner) {
    const auto points = static_cast<py::ssize_t>(layout.points);
    if (packed_float_coordinates(layout)) {
        const std::byte* first = base + coordinate(layout, 0).offset;
        return py::array(py::dtype::of<float>(), {points, py::ssize_t{3}},
                         {static_cast<py::ssize_t>(layout.record_size), py::ssize_t{4}}, first, owner);
    }
    py::array_t<float> converted({points, py::ssize_t{3}});
    float* out = converted.mutable_data();
    for (int axis = 0; axis < 3; ++axis) convert_coordinate(base, layout, axis, out);
    return converted;
}

// A field with COUNT 1 is one value per point; any other COUNT gives one row per point.
py::array field_array(const std::byte* base, const PcdLayout& layout, const FieldLayout& field,
                      const py::capsule& owner) {
    const auto points = static_cast<py::ssize_t>(layout.points);
    const auto step = static_cast<py::ssize_t>(layout.record_size);
    const std::byte* first = base + field.offset;
    if (field.count == 1) return py::array(dtype_of(field.type), {points}, {step}, first, owner);
    return py::array(dtype_of(field.type), {points, static_cast<py::ssize_t>(field.count)},
                     {step, static_cast<py::ssize_t>(field.element_bytes())}, first, owner);
}

}  // namespace

std::pair<py::array, py::dict> assemble_arrays(PointBuffer buffer, const PcdLayout& layout) {
    // The capsule takes the storage only once it exists, so a failure here still frees it.
    py::capsule owner(buffer.data(), +[](void* bytes) { std::free(bytes); });
    const std::byte* const base = buffer.release();
    py::array points = points_array(base, layout, owner);
    py::dict fields;
    for (const FieldLayout& field : layout.fields) {
        if (is_coordinate(field.name)) continue;
        // Names are keys whole: a NUL byte inside one must not merge it with another.
        fields[py::str(field.name.data(), field.name.size())] = field_array(base, layout, field, owner);
    }
    return {std::move(points), std::move(fields)};
}

}  // namespace tessarel
