#pragma once
// The "binary_compressed" data section: two 32-bit sizes and one LZF block holding the
// fields column by column. The decoded block is the cloud's buffer, and each field's array
// a view of its column.

#include <vector>

#include "pcd/format/pcd_layout.hpp"
#include "pcd/io/byte_buffer.hpp"
#include "pcd/io/input_source.hpp"
#include "pcd/parallel/cpu_share.hpp"

namespace tessarel {

struct ColumnBlock {
    PointBuffer buffer;
    std::vector<FieldPlacement> columns;  // one for each of the layout's fields
};

ColumnBlock read_compressed_data(InputSource& in, const PcdLayout& layout, CpuShare share);

}  // namespace tessarel
