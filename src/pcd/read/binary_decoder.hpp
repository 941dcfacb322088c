#pragma once
// The "binary" data section: the point records themselves, back to back.

#include "pcd/format/pcd_layout.hpp"
#include "pcd/io/byte_buffer.hpp"
#include "pcd/io/input_source.hpp"
#include "pcd/parallel/cpu_share.hpp"

namespace tessarel {

PointBuffer read_binary_data(InputSource& in, const PcdLayout& layout, CpuShare share);

}  // namespace tessarel
