#pragma once
// The "binary_compressed" data section: two 32-bit sizes and one LZF block holding the
// fields column by column.

#include <cstddef>
#include <istream>

#include "pcd/pcd_header.hpp"
#include "pcd/byte_buffer.hpp"

namespace tessarel {

PointBuffer read_compressed_data(std::istream& in, const PcdHeader& header, std::size_t buffer_size);

}  // namespace tessarel
