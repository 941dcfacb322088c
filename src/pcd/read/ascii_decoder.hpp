#pragma once
// The "ascii" data section: one token per value, point after point, lines ignored.

#include <cstddef>

#include "pcd/format/limits.hpp"
#include "pcd/format/pcd_layout.hpp"
#include "pcd/io/byte_buffer.hpp"
#include "pcd/io/input_source.hpp"
#include "pcd/parallel/cpu_share.hpp"

namespace tessarel {

// The text is read this many bytes at a time, so a load never holds the whole of it.
inline constexpr std::size_t ascii_piece_bytes = std::size_t{4} << 20;

// Reads everything from the source's position to its end as the values of `layout`'s
// points, `piece_bytes` of text at a time. A large text is parsed on this load's `share` of
// the CPUs; a share not shared out is the number of threads whatever the text.
PointBuffer read_ascii_data(InputSource& in, const PcdLayout& layout, CpuShare share,
                            std::size_t piece_bytes = ascii_piece_bytes);

}  // namespace tessarel
