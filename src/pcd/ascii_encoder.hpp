#pragma once
// The "ascii" data section written: one line a point, each value in the shortest text that
// reads back to the same bits.

#include "pcd/cloud_to_write.hpp"
#include "pcd/file_output.hpp"

namespace tessarel {

void write_ascii_data(const CloudToWrite& cloud, AtomicFile& file);

}  // namespace tessarel
