#pragma once
// The "binary" data section: the point records themselves, back to back.

#include <istream>

#include "pcd/byte_buffer.hpp"
#include "pcd/pcd_layout.hpp"

namespace tessarel {

PointBuffer read_binary_data(std::istream& in, const PcdLayout& layout);

}  // namespace tessarel
