#pragma once
// A data section whose every byte's place in the file is known before it is made (records of
// a fixed size), made and written on several CPUs: each thread writes the piece it made where
// it goes, so the kernel copies it from the cache of the CPU that made it. Pieces end on folio
// boundaries of the file.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "pcd/io/file_output.hpp"
#include "pcd/parallel/cpu_share.hpp"

namespace tessarel {

// Makes bytes [first, first + bytes) of the section into `out` and returns where they lie in it.
using MakeSectionBytes =
    std::function<std::span<const std::byte>(std::uint64_t first, std::size_t bytes, std::span<std::byte> out)>;

struct SectionShape {
    std::uint64_t bytes;    // the section's
    std::size_t out_bytes;  // the room a piece of a MiB or less takes to make
};

// Writes the section after what `file` holds, which must take placed writes.
void write_pieces_in_place(const SectionShape& shape, const MakeSectionBytes& make, AtomicFile& file, CpuShare share);

}  // namespace tessarel
