#include "pcd/pcd_header.hpp"

#include <cctype>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace tessarel {
namespace {

std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (!__builtin_add_overflow(a, b, &sum)) return sum;
    return b > 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
}

// Lays the fields out from `total` on, in order, as a COUNT line does.
std::int64_t lay_out(std::vector<PcdField>& fields, std::int64_t total) {
    for (PcdField& field : fields) {
        field.offset = total;
        total = saturating_add(total, field_bytes(field));
    }
    return total;
}

template <class Value>
void read_each(std::istream& line, std::vector<PcdField>& fields, Value PcdField::* member) {
    for (PcdField& field : fields) line >> field.*member;
}

void to_lower(std::string& text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

}  // namespace

PcdHeader parse_pcd_header(std::istream& in) {
    PcdHeader header;
    std::int64_t total = 0;
    bool saw_count = false;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line.front() == '#') continue;
        std::istringstream values(line);
        std::string keyword;
        values >> keyword;
        if (keyword == "FIELDS") {
            for (std::string name; values >> name;) header.fields.push_back(PcdField{name});
        } else if (keyword == "SIZE") {
            read_each(values, header.fields, &PcdField::size);
        } else if (keyword == "TYPE") {
            read_each(values, header.fields, &PcdField::type);
        } else if (keyword == "COUNT") {
            read_each(values, header.fields, &PcdField::count);
            total = lay_out(header.fields, total);
            saw_count = true;
        } else if (keyword == "WIDTH") {
            values >> header.width;
        } else if (keyword == "HEIGHT") {
            values >> header.height;
        } else if (keyword == "POINTS") {
            values >> header.points;
        } else if (keyword == "DATA") {
            values >> header.data;
            to_lower(header.data);
            header.compressed = header.data == "binary_compressed";
            break;
        }
    }
    // COUNT is optional in the format: without it every field holds one value.
    header.point_step = saw_count ? total : lay_out(header.fields, 0);
    return header;
}

Coordinates find_coordinates(const PcdHeader& header) {
    constexpr auto missing = std::numeric_limits<std::size_t>::max();
    Coordinates xyz{missing, missing, missing};
    for (std::size_t i = 0; i < header.fields.size(); ++i) {
        const std::string& name = header.fields[i].name;
        if (name == "x") xyz.x = i;
        if (name == "y") xyz.y = i;
        if (name == "z") xyz.z = i;
    }
    if (xyz.x == missing || xyz.y == missing || xyz.z == missing) {
        throw std::runtime_error("PCD must contain x, y, z fields");
    }
    return xyz;
}

namespace {

constexpr std::int64_t max_buffer_bytes = std::numeric_limits<std::int32_t>::max();

std::size_t buffer_size(const PcdHeader& header) {
    std::int64_t product = 0;
    const bool overflow = __builtin_mul_overflow(std::int64_t{header.points}, header.point_step, &product);
    if (!overflow && product < 0) {
        throw std::length_error("cannot create std::vector larger than max_size()");
    }
    if (overflow || product > max_buffer_bytes) {
        throw std::runtime_error("PCD data too large: POINTS " + std::to_string(header.points) +
                                 " * " + std::to_string(header.point_step) +
                                 " bytes per point exceeds the limit of " +
                                 std::to_string(max_buffer_bytes) + " bytes");
    }
    return static_cast<std::size_t>(product);
}

std::string field_label(const PcdField& field) { return "PCD field '" + field.name + "'"; }

void check_sign(const PcdField& field) {
    if (field.size < 0) {
        throw std::runtime_error(field_label(field) + " has a negative SIZE (" + std::to_string(field.size) + ")");
    }
    if (field.count < 0) {
        throw std::runtime_error(field_label(field) + " has a negative COUNT (" + std::to_string(field.count) + ")");
    }
}

void check_bounds(const PcdField& field, std::int64_t point_step) {
    const std::int64_t end = saturating_add(field.offset, field_bytes(field));
    if (field.offset < 0 || end > point_step) {
        throw std::runtime_error(field_label(field) + " (offset " + std::to_string(field.offset) + ", " +
                                 std::to_string(field_bytes(field)) + " bytes) lies outside the point record of " +
                                 std::to_string(point_step) + " bytes");
    }
}

}  // namespace

std::size_t validate_layout(const PcdHeader& header) {
    const std::size_t size = buffer_size(header);
    for (const PcdField& field : header.fields) check_sign(field);
    if (header.point_step > max_buffer_bytes) {
        throw std::runtime_error("PCD point record of " + std::to_string(header.point_step) +
                                 " bytes exceeds the limit of " + std::to_string(max_buffer_bytes) +
                                 " bytes");
    }
    for (const PcdField& field : header.fields) check_bounds(field, header.point_step);
    return size;
}

bool fields_are_packed(const PcdHeader& header) {
    std::int64_t next = 0;
    for (const PcdField& field : header.fields) {
        if (field.offset != next) return false;
        next += field_bytes(field);
    }
    return next == header.point_step;
}

}  // namespace tessarel
