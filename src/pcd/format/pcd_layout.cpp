#include "pcd/format/pcd_layout.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tessarel {
namespace {

std::array<std::size_t, 3> find_coordinates(const std::vector<PcdField>& fields) {
    constexpr auto missing = std::numeric_limits<std::size_t>::max();
    std::array<std::size_t, 3> xyz{missing, missing, missing};
    // The last field of each name wins, as it does in the dictionary of fields.
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const std::string& name = fields[i].name;
        if (name == "x") xyz[0] = i;
        if (name == "y") xyz[1] = i;
        if (name == "z") xyz[2] = i;
    }
    for (const std::size_t index : xyz) {
        if (index == missing) throw std::runtime_error("PCD must contain x, y, z fields");
    }
    return xyz;
}

// The fields' SIZE and COUNT are not negative, so neither is the record size.
std::uint64_t cloud_bytes(const PcdHeader& header, std::int64_t point_step) {
    if (header.points < 0) throw std::runtime_error("PCD POINTS is negative: " + std::to_string(header.points));
    std::int64_t product = 0;
    const bool overflow = __builtin_mul_overflow(std::int64_t{header.points}, point_step, &product);
    if (overflow || static_cast<std::uint64_t>(product) > max_cloud_bytes) {
        throw std::runtime_error("PCD data too large: POINTS " + std::to_string(header.points) + " * " +
                                 std::to_string(point_step) + " bytes per point exceeds the limit of " +
                                 std::to_string(max_cloud_bytes) + " bytes");
    }
    return static_cast<std::uint64_t>(product);
}

// Names the widest field, whose SIZE or COUNT is most likely the one at fault.
[[noreturn]] void throw_record_too_large(const PcdHeader& header, std::int64_t point_step) {
    const auto narrower = [](const PcdField& a, const PcdField& b) { return field_bytes(a) < field_bytes(b); };
    const PcdField& widest = *std::max_element(header.fields.begin(), header.fields.end(), narrower);
    throw std::runtime_error("PCD point record of " + std::to_string(point_step) + " bytes exceeds the limit of " +
                             std::to_string(max_cloud_bytes) + " bytes; field '" + printable_name(widest.name) +
                             "' has SIZE " + std::to_string(widest.size) + " and COUNT " +
                             std::to_string(widest.count));
}

std::string field_label(const PcdField& field) { return "PCD field '" + printable_name(field.name) + "'"; }

void check_sign(const PcdField& field) {
    if (field.size < 0) {
        throw std::runtime_error(field_label(field) + " has a negative SIZE (" + std::to_string(field.size) + ")");
    }
    if (field.count < 0) {
        throw std::runtime_error(field_label(field) + " has a negative COUNT (" + std::to_string(field.count) + ")");
    }
}

Encoding encoding_of(const std::string& data) {
    if (const auto encoding = encoding_named(data)) return *encoding;
    throw std::runtime_error("Unsupported PCD DATA type: " + data);
}

// A TYPE letter as text: a byte that is not ASCII as \xNN too, as a lone byte is no UTF-8.
std::string type_letter(char type) {
    const auto byte = static_cast<unsigned char>(type);
    if (byte < 0x80) return printable_name(std::string_view(&type, 1));
    constexpr std::string_view hex = "0123456789abcdef";
    return {'\\', 'x', hex[byte >> 4], hex[byte & 0xf]};
}

ElementType checked_type(const PcdField& field) {
    if (const auto type = element_type(field.type, field.size)) return *type;
    throw std::runtime_error("Unsupported PCD type/size: field '" + printable_name(field.name) + "' has TYPE " +
                             type_letter(field.type) + " SIZE " + std::to_string(field.size));
}

}  // namespace

std::int64_t declared_record_bytes(const PcdHeader& header) {
    std::vector<std::int64_t> widths;
    widths.reserve(header.fields.size());
    for (const PcdField& field : header.fields) widths.push_back(field_bytes(field));
    return field_bounds(widths).back();
}

PcdLayout make_layout(const PcdHeader& header) {
    const std::array<std::size_t, 3> xyz = find_coordinates(header.fields);
    for (const PcdField& field : header.fields) check_sign(field);
    const std::int64_t point_step = declared_record_bytes(header);
    const std::uint64_t bytes = cloud_bytes(header, point_step);
    if (static_cast<std::uint64_t>(point_step) > max_cloud_bytes) throw_record_too_large(header, point_step);
    const Encoding encoding = encoding_of(header.data);
    std::vector<FieldLayout> fields;
    fields.reserve(header.fields.size());
    for (const PcdField& field : header.fields) {
        fields.push_back({field.name, checked_type(field), static_cast<std::size_t>(field.count)});
    }
    for (const std::size_t index : xyz) {
        if (fields[index].count == 0) {
            throw std::runtime_error("PCD coordinate field '" + fields[index].name + "' has COUNT 0");
        }
    }
    PcdLayout layout{lay_out(std::move(fields))};
    // A point takes a byte at least now that x, y and z have a type and a value, so a count
    // whose cloud fits in `max_cloud_bytes` fits in a size_t at any width.
    layout.points = static_cast<std::size_t>(header.points);
    layout.buffer_size = static_cast<std::size_t>(bytes);
    layout.xyz = xyz;
    layout.encoding = encoding;
    return layout;
}

std::vector<FieldPlacement> record_placements(const PcdLayout& layout) {
    std::vector<FieldPlacement> placements;
    placements.reserve(layout.fields.size());
    for (const FieldLayout& field : layout.fields) placements.push_back({field.offset, layout.point_step});
    return placements;
}

}  // namespace tessarel
