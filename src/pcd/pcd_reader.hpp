#pragma once
// Turns a PCD file into its header and a filled point buffer. Free of Python, so tests,
// fuzzers and benchmarks can drive the whole reading core directly.

#include <istream>
#include <string>

#include "pcd/pcd_header.hpp"
#include "pcd/byte_buffer.hpp"

namespace tessarel {

struct PcdCloud {
    PcdHeader header;
    Coordinates xyz;
    PointBuffer buffer;
};

// Reads from `in`, positioned at the first byte of the header.
PcdCloud read_pcd(std::istream& in);

// Opens `filename` (a regular file) and reads it.
PcdCloud read_pcd_file(const std::string& filename);

// The "binary" data section: the point records themselves, back to back.
PointBuffer read_binary_data(std::istream& in, std::size_t buffer_size);

}  // namespace tessarel
