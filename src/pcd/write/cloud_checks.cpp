#include "pcd/write/cloud_checks.hpp"

#include <cstdint>
#include <stdexcept>
#include <string>

#include "pcd/format/field_name.hpp"
#include "pcd/format/limits.hpp"

namespace tessarel {
namespace {

void check_name(const std::string& name) {
    if (name.empty()) throw std::invalid_argument("PCD field names cannot be empty");
    if (!is_writable_name(name)) {
        throw std::invalid_argument("PCD field name '" + name + "' holds whitespace or a control character");
    }
}

}  // namespace

void check_cloud_to_write(const CloudToWrite& cloud) {
    for (const FieldLayout& field : cloud.record.fields) check_name(field.name);
    if (cloud.points > max_points || cloud.width > max_points || cloud.height > max_points) {
        throw std::invalid_argument("a PCD file holds at most " + std::to_string(max_points) +
                                    " points, in rows of as many");
    }
    // The counts alone are checked with no fields, before the fields are known.
    const std::uint64_t point_step = cloud.record.point_step;
    if (cloud.encoding == Encoding::binary_compressed && point_step != 0 &&
        cloud.points > max_block_bytes / point_step) {
        throw std::invalid_argument("a binary_compressed block holds at most " + std::to_string(max_block_bytes) +
                                    " bytes of columns; " + std::to_string(cloud.points) + " points of " +
                                    std::to_string(point_step) + " bytes take more: save as binary");
    }
    std::uint64_t rows = 0;
    if (__builtin_mul_overflow(cloud.width, cloud.height, &rows) || rows != cloud.points) {
        throw std::invalid_argument("WIDTH " + std::to_string(cloud.width) + " * HEIGHT " +
                                    std::to_string(cloud.height) + " must equal the number of points, " +
                                    std::to_string(cloud.points));
    }
}

}  // namespace tessarel
