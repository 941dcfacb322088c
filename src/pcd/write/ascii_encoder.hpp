#pragma once
// The "ascii" data section written: one line a point, each value in the shortest text that
// reads back to the same bits.

#include <cstddef>

#include "pcd/io/file_output.hpp"
#include "pcd/parallel/cpu_share.hpp"
#include "pcd/parallel/ordered_pieces.hpp"
#include "pcd/write/cloud_to_write.hpp"

namespace tessarel {

// The pieces the text is made in: `least_pieces` at least, unless pieces would be small.
std::size_t ascii_pieces(const CloudToWrite& cloud, std::size_t least_pieces);

void write_ascii_data(const CloudToWrite& cloud, AtomicFile& file, CpuShare share);
// The same, made in `buffers`.
void write_ascii_data(const CloudToWrite& cloud, AtomicFile& file, CpuShare share, PieceBuffers& buffers);

// The text of `cloud` handed to `sink` a piece at a time, in order, made in `buffers`, in
// as many pieces as ascii_pieces() counts.
void make_ascii_text(const CloudToWrite& cloud, std::size_t least_pieces, const PieceSink& sink, CpuShare share,
                     PieceBuffers& buffers);

}  // namespace tessarel
