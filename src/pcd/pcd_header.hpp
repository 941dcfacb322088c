#pragma once
// The text header of a PCD file, parsed leniently, and the checks that make its record
// layout safe to read into.

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace tessarel {

struct PcdField {
    std::string name;
    char type = 'F';
    std::int32_t size = 4;
    std::int32_t count = 1;
    // 64-bit so that absurd SIZE × COUNT values cannot wrap into a plausible layout.
    std::int64_t offset = 0;
};

// Bytes one point holds of `field`: SIZE × COUNT, without overflow.
inline std::int64_t field_bytes(const PcdField& field) { return std::int64_t{field.size} * field.count; }

struct PcdHeader {
    std::vector<PcdField> fields;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t points = 0;
    std::string data;  // the DATA value, lower-cased
    std::int64_t point_step = 0;
    bool compressed = false;
};

// Reads header lines up to and including the DATA line, leaving `in` on the first byte of
// the data section. Never rejects content: unknown lines are skipped, bad numbers read as
// 0 or the int32 bound, missing values keep their defaults.
PcdHeader parse_pcd_header(std::istream& in);

// Positions in `fields` of the coordinate fields (the last one of each name).
struct Coordinates {
    std::size_t x;
    std::size_t y;
    std::size_t z;
};

// Throws "PCD must contain x, y, z fields" when one of them is missing.
Coordinates find_coordinates(const PcdHeader& header);

// Checks that points × point_step fits in memory and that every field lies inside the
// point record; returns the size of the point buffer in bytes.
std::size_t validate_layout(const PcdHeader& header);

// Whether the fields lie back to back and fill the point record exactly, as they do unless
// header lines disagree: then a decoder that writes every field writes every byte.
bool fields_are_packed(const PcdHeader& header);

}  // namespace tessarel
