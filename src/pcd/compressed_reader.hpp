#pragma once
// The "binary_compressed" data section: two 32-bit sizes and one LZF block holding the
// fields column by column.

#include <cstddef>
#include <istream>

#include "pcd/byte_buffer.hpp"
#include "pcd/pcd_layout.hpp"

namespace tessarel {

PointBuffer read_compressed_data(std::istream& in, const PcdLayout& layout);

}  // namespace tessarel
