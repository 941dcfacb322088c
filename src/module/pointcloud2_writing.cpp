#include "module/pointcloud2_writing.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "module/pointcloud2_types.hpp"
#include "module/save_arguments.hpp"
#include "module/without_gil.hpp"
#include "pcd/write/cloud_checks.hpp"
#include "pcd/write/record_gather.hpp"

namespace py = pybind11;

namespace tessarel {
namespace {

constexpr std::uint64_t max_uint32 = std::numeric_limits<std::uint32_t>::max();

py::tuple point_field(const FieldLayout& field) {
    const auto datatype = datatype_of_element(field.type);
    if (!datatype) {
        const std::string dtype = field.type == ElementType::i64 ? "int64" : "uint64";
        throw py::type_error("field '" + field.name + "' has dtype " + dtype +
                             ", which PointCloud2 cannot hold: it has no 64-bit integers");
    }
    return py::make_tuple(py::str(field.name), field.offset, *datatype, field.count);
}

void check_fits_uint32(const char* what, std::uint64_t value) {
    if (value > max_uint32) {
        throw py::value_error("PointCloud2 " + std::string(what) + " of " + std::to_string(value) +
                              " is more than its 32 bits hold (" + std::to_string(max_uint32) + ")");
    }
}

// No x, y or z value is a NaN, in records that lie packed and in host order.
bool dense(const RecordLayout& record, const std::byte* data, std::size_t points) {
    for (std::size_t axis = 0; axis < 3; ++axis) {
        const FieldLayout& field = record.fields[axis];
        const bool nan = visit_element_type(field.type, [&](auto zero) {
            for (std::size_t i = 0; i < points; ++i) {
                for (std::size_t e = 0; e < field.count; ++e) {
                    decltype(zero) value;
                    std::memcpy(&value, data + i * record.point_step + field.offset + e * sizeof value, sizeof value);
                    if constexpr (std::is_floating_point_v<decltype(zero)>) {
                        if (std::isnan(value)) return true;
                    }
                }
            }
            return false;
        });
        if (nan) return false;
    }
    return true;
}

}  // namespace

py::dict to_pointcloud2(py::handle points, py::handle fields, py::handle height) {
    const SaveArguments arguments = read_save_arguments(points, fields, "binary", py::none(), height, py::none());
    const CloudToWrite& cloud = arguments.cloud;
    check_cloud_to_write(cloud);
    py::list point_fields;
    for (const FieldLayout& field : cloud.record.fields) point_fields.append(point_field(field));
    const std::uint64_t point_step = cloud.record.point_step;
    check_fits_uint32("point_step", point_step);
    check_fits_uint32("width", cloud.width);
    check_fits_uint32("height", cloud.height);
    const std::uint64_t row_step = point_step * cloud.width;
    check_fits_uint32("row_step", row_step);
    const std::uint64_t bytes = row_step * cloud.height;
    if (bytes > static_cast<std::uint64_t>(std::numeric_limits<py::ssize_t>::max())) {
        throw py::value_error("PointCloud2 data of " + std::to_string(bytes) + " bytes is more than can be indexed");
    }
    auto data = py::reinterpret_steal<py::bytes>(PyBytes_FromStringAndSize(nullptr, static_cast<py::ssize_t>(bytes)));
    if (!data) throw py::error_already_set();
    auto* out = reinterpret_cast<std::byte*>(PyBytes_AS_STRING(data.ptr()));
    const bool is_dense = without_gil([&] {
        RecordGather(cloud).gather(0, cloud.points, out);
        return dense(cloud.record, out, cloud.points);
    });
    py::dict message;
    message["height"] = cloud.height;
    message["width"] = cloud.width;
    message["fields"] = point_fields;
    message["is_bigendian"] = false;
    message["point_step"] = point_step;
    message["row_step"] = row_step;
    message["data"] = data;
    message["is_dense"] = is_dense;
    return message;
}

}  // namespace tessarel
