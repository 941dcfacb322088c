#pragma once
// The text header of a PCD file, read leniently as PCL writes and reads it: what each line
// says, before any of it is checked (pcd_layout does that).

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "pcd/format/limits.hpp"
#include "pcd/io/input_source.hpp"

namespace tessarel {

struct PcdField {
    std::string name;
    char type = 'F';
    std::int32_t size = 4;
    std::int32_t count = 1;
};

// Bytes one point holds of `field`: SIZE × COUNT, without overflow.
inline std::int64_t field_bytes(const PcdField& field) { return std::int64_t{field.size} * field.count; }

struct PcdHeader {
    std::string version;  // as written, empty when there is no VERSION line
    std::vector<PcdField> fields;
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::int64_t points = 0;  // from POINTS; without a POINTS line, WIDTH × HEIGHT
    // tx ty tz qw qx qy qz: the sensor's position and orientation.
    std::array<double, 7> viewpoint{0, 0, 0, 1, 0, 0, 0};
    std::string data;  // the DATA value, lower-cased
};

// Reads header lines up to and including the DATA line, leaving `in` on the first byte of
// the data section. Lenient about values: unknown lines are skipped, bad numbers read as 0
// (a SIZE or COUNT beyond the int32 range as its bound), missing values keep their defaults.
// Where a keyword repeats, its last line wins. The fields are read once, from the last FIELDS
// line and the SIZE, TYPE and COUNT lines after it, in any order. Throws only for a line
// longer than `max_header_line`, for a POINTS, WIDTH or HEIGHT (or a WIDTH × HEIGHT) beyond
// the int64 range, for a negative WIDTH or HEIGHT, and, as the reference reader refuses it,
// for a SIZE, TYPE or COUNT line before any FIELDS line.
PcdHeader parse_pcd_header(InputSource& in);

}  // namespace tessarel
