#pragma once
// The "binary" data section: the point records themselves, back to back.

#include <istream>

#include "pcd/format/pcd_layout.hpp"
#include "pcd/io/byte_buffer.hpp"
#include "pcd/parallel/cpu_share.hpp"

namespace tessarel {

PointBuffer read_binary_data(std::istream& in, const PcdLayout& layout, CpuShare share);

}  // namespace tessarel
