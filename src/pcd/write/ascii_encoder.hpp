#pragma once
// The "ascii" data section written: one line a point, each value in the shortest text that
// reads back to the same bits.

#include "pcd/io/file_output.hpp"
#include "pcd/write/cloud_to_write.hpp"

namespace tessarel {

void write_ascii_data(const CloudToWrite& cloud, AtomicFile& file);

}  // namespace tessarel
