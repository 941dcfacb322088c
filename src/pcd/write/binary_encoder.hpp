#pragma once
// The "binary" data section written: point records back to back.

#include <cstddef>
#include <span>

#include "pcd/io/file_output.hpp"
#include "pcd/write/cloud_to_write.hpp"

namespace tessarel {

void write_binary_data(const CloudToWrite& cloud, AtomicFile& file);

// The records of `cloud` into `out`, which holds them all, on the caller's thread.
void gather_binary_data(const CloudToWrite& cloud, std::span<std::byte> out);

}  // namespace tessarel
