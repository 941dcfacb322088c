#pragma once
// A data section of pieces that each have a known place in the file (records of a fixed
// size), made and written on several CPUs: each thread writes the piece it made where it goes,
// so the kernel copies it from the cache of the CPU that made it.

#include <cstddef>
#include <cstdint>

#include "pcd/io/file_output.hpp"
#include "pcd/parallel/cpu_share.hpp"
#include "pcd/parallel/ordered_pieces.hpp"

namespace tessarel {

// Writes pieces [0, count) after what `file` holds, piece i at i * most_bytes; every piece but
// the last is most_bytes long. `file` must take placed writes. Returns the bytes written.
std::uint64_t write_pieces_in_place(const PieceShape& shape, const MakePiece& make, AtomicFile& file, CpuShare share);

}  // namespace tessarel
