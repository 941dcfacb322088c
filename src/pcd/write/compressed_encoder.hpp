#pragma once
// The "binary_compressed" data section written as the reference writer lays it out: the two
// 32-bit sizes, then one LZF block of the fields' columns, a column's values point after point.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "pcd/io/file_output.hpp"
#include "pcd/parallel/cpu_share.hpp"
#include "pcd/write/cloud_to_write.hpp"

namespace tessarel {

// The pieces the columns are encoded in.
std::size_t compressed_pieces(const CloudToWrite& cloud);

// Takes the block's pieces in order, each with the index of its field in the cloud's record.
using ColumnSink = std::function<void(std::size_t field, std::span<const std::byte> piece)>;

// The columns of `cloud` encoded as LZF a piece at a time, on the save's `share` of the CPUs,
// and handed to `sink` in the block's order; returns their bytes. LZF streams concatenate, so
// the pieces of several clouds with the same fields, taken field by field, make one block.
std::uint64_t encode_columns(const CloudToWrite& cloud, const ColumnSink& sink, CpuShare share);

// The two sizes that open the section: of the block, and of the columns it holds. Throws
// std::length_error for a block beyond their 32 bits.
std::array<std::byte, 8> section_sizes(std::uint64_t compressed, std::uint64_t columns);

// `file` stands at `offset`, where the section begins.
void write_compressed_data(const CloudToWrite& cloud, AtomicFile& file, std::uint64_t offset, CpuShare share);

}  // namespace tessarel
