#pragma once
// The "binary_compressed" data section written as the reference writer lays it out: the two
// 32-bit sizes, then one LZF block of the fields' columns, a column's values point after point.

#include <cstdint>

#include "pcd/io/file_output.hpp"
#include "pcd/parallel/cpu_share.hpp"
#include "pcd/write/cloud_to_write.hpp"

namespace tessarel {

// The pieces the columns are encoded in.
std::size_t compressed_pieces(const CloudToWrite& cloud);

// `file` stands at `offset`, where the section begins.
void write_compressed_data(const CloudToWrite& cloud, AtomicFile& file, std::uint64_t offset, CpuShare share);

}  // namespace tessarel
