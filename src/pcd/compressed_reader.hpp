#pragma once
// The "binary_compressed" data section: two 32-bit sizes and one LZF block holding the
// fields column by column.

#include <cstddef>
#include <istream>
#include <span>

#include "pcd/pcd_header.hpp"
#include "pcd/byte_buffer.hpp"

namespace tessarel {

PointBuffer read_compressed_data(std::istream& in, const PcdHeader& header, std::size_t buffer_size);

// Places the field-major `block` into point records. `with_padding` says whether the block
// holds columns for the `_` padding fields too.
void scatter_columns(std::span<const std::byte> block, const PcdHeader& header, bool with_padding,
                     PointBuffer& buffer);

}  // namespace tessarel
