#pragma once
// Turns a PCD file into its checked layout and a filled point buffer. Free of Python, so
// tests, fuzzers and benchmarks can drive the whole reading core directly.

#include <fstream>
#include <istream>
#include <string>
#include <vector>

#include "pcd/byte_buffer.hpp"
#include "pcd/pcd_header.hpp"
#include "pcd/pcd_layout.hpp"

namespace tessarel {

struct PcdCloud {
    PcdLayout layout;
    PointBuffer buffer;
    std::vector<FieldPlacement> placements;  // where each of the layout's fields lies in `buffer`
    bool columns = false;                    // field after field rather than point after point
};

// Reads from `in`, positioned at the first byte of the header.
PcdCloud read_pcd(std::istream& in);

// Opens `filename`, which must name a regular file, for reading.
std::ifstream open_pcd_file(const std::string& filename);

// Opens `filename` and reads it.
PcdCloud read_pcd_file(const std::string& filename);

// The header of `filename` alone, after the same checks a load makes of it.
PcdHeader read_pcd_header_file(const std::string& filename);

// The "binary" data section: the point records themselves, back to back.
PointBuffer read_binary_data(std::istream& in, const PcdLayout& layout);

}  // namespace tessarel
