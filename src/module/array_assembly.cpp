#include "module/array_assembly.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

#include "module/field_names.hpp"
#include "pcd/format/element_type.hpp"

namespace py = pybind11;

namespace tessarel {
namespace {

bool is_coordinate(const std::string& name) { return name == "x" || name == "y" || name == "z"; }

py::dtype dtype_of(ElementType type) {
    return visit_element_type(type, [](auto zero) { return py::dtype::of<decltype(zero)>(); });
}

// One coordinate: its field and where its values lie.
struct Axis {
    const FieldLayout& field;
    const FieldPlacement& place;
};

Axis axis(const PcdCloud& cloud, int index) {
    const std::size_t field = cloud.layout.xyz[static_cast<std::size_t>(index)];
    return {cloud.layout.fields[field], cloud.placements[field]};
}

// x, y and z already lie in the buffer as float32 values one axis step apart: consecutive
// in a record, or consecutive columns of a compressed block (of this chunk's points or more).
bool float_coordinates_in_place(const PcdCloud& cloud) {
    const Axis x = axis(cloud, 0), y = axis(cloud, 1), z = axis(cloud, 2);
    if (x.field.type != ElementType::f32 || y.field.type != ElementType::f32 || z.field.type != ElementType::f32) {
        return false;
    }
    if (x.place.stride != y.place.stride || y.place.stride != z.place.stride) return false;
    const bool columns = x.place.stride == 4;
    const std::size_t step = columns ? 4 * cloud.layout.points : 4;
    return y.place.base >= x.place.base + step && y.place.base - x.place.base == z.place.base - y.place.base &&
           (columns || y.place.base == x.place.base + step);
}

// The first value of coordinate `index` in every point, converted to float32 into column
// `index` of `out`.
void convert_coordinate(const std::byte* base, const PcdCloud& cloud, int index, float* out) {
    const Axis coordinate = axis(cloud, index);
    const std::byte* source = base + coordinate.place.base;
    visit_element_type(coordinate.field.type, [&](auto zero) {
        for (std::size_t i = 0; i < cloud.layout.points; ++i, source += coordinate.place.stride) {
            decltype(zero) value;
            std::memcpy(&value, source, sizeof value);
            out[i * 3 + static_cast<std::size_t>(index)] = static_cast<float>(value);
        }
    });
}

py::array points_array(const std::byte* base, const PcdCloud& cloud, const py::capsule& owner) {
    const auto points = static_cast<py::ssize_t>(cloud.layout.points);
    if (float_coordinates_in_place(cloud)) {
        const Axis x = axis(cloud, 0);
        const auto step = static_cast<py::ssize_t>(axis(cloud, 1).place.base - x.place.base);
        return py::array(py::dtype::of<float>(), {points, py::ssize_t{3}},
                         {static_cast<py::ssize_t>(x.place.stride), step}, base + x.place.base, owner);
    }
    py::array_t<float> converted({points, py::ssize_t{3}});
    float* out = converted.mutable_data();
    for (int index = 0; index < 3; ++index) convert_coordinate(base, cloud, index, out);
    return converted;
}

// A field with COUNT 1 is one value per point; any other COUNT gives one row per point.
std::vector<py::ssize_t> field_shape(const PcdCloud& cloud, const FieldLayout& field) {
    const auto points = static_cast<py::ssize_t>(cloud.layout.points);
    if (field.count == 1) return {points};
    return {points, static_cast<py::ssize_t>(field.count)};
}

py::array field_array(const std::byte* base, const PcdCloud& cloud, const FieldLayout& field,
                      const FieldPlacement& place, const py::capsule& owner) {
    const auto shape = field_shape(cloud, field);
    if (!place.present) {  // a padding field the block holds no column for
        py::array zeros(dtype_of(field.type), shape);
        std::memset(zeros.mutable_data(), 0, static_cast<std::size_t>(zeros.nbytes()));
        return zeros;
    }
    std::vector<py::ssize_t> strides{static_cast<py::ssize_t>(place.stride)};
    if (shape.size() == 2) strides.push_back(static_cast<py::ssize_t>(field.element_bytes()));
    return py::array(dtype_of(field.type), shape, strides, base + place.base, owner);
}

// A coordinate whose values a float32 column holds exactly and whole: F 4, one value per
// point. Any other coordinate field is also returned as it is, so that no value is lost.
bool fits_points(const FieldLayout& field) { return field.type == ElementType::f32 && field.count == 1; }

bool requested(const FieldRequest& names, const std::string& name) {
    return !names || std::find(names->begin(), names->end(), name) != names->end();
}

}  // namespace

std::pair<py::array, py::dict> assemble_arrays(PcdCloud cloud, const FieldRequest& names) {
    // One reference to the storage for every array of the set, dropped with the last of them.
    // The capsule takes it only once it exists, so a failure here still drops it.
    auto shared = std::make_unique<std::shared_ptr<const void>>(cloud.buffer.owner());
    const py::capsule owner(shared.get(), +[](void* held) { delete static_cast<std::shared_ptr<const void>*>(held); });
    shared.release();
    const std::byte* const base = cloud.buffer.data();
    py::array points = points_array(base, cloud, owner);
    py::dict fields;
    for (std::size_t i = 0; i < cloud.layout.fields.size(); ++i) {
        const FieldLayout& field = cloud.layout.fields[i];
        if (is_coordinate(field.name) && fits_points(field)) continue;
        if (!requested(names, field.name)) continue;
        // Names are keys whole: a NUL byte inside one must not merge it with another.
        fields[name_text(field.name)] = field_array(base, cloud, field, cloud.placements[i], owner);
    }
    return {std::move(points), std::move(fields)};
}

}  // namespace tessarel
