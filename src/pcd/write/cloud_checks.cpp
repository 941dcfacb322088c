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
    const std::uint64_t columns = std::uint64_t{cloud.record.point_step} * cloud.points;
    if (cloud.encoding == Encoding::binary_compressed && columns > max_block_bytes) {
        throw std::invalid_argument("a binary_compressed block holds at most " + std::to_string(max_block_bytes) +
                                    " bytes of columns; these take " + std::to_string(columns) + ": save as binary");
    }
    if (cloud.width * cloud.height != cloud.points) {
        throw std::invalid_argument("WIDTH " + std::to_string(cloud.width) + " * HEIGHT " +
                                    std::to_string(cloud.height) + " must equal the number of points, " +
                                    std::to_string(cloud.points));
    }
}

}  // namespace tessarel
