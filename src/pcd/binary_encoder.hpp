#pragma once
// The "binary" data section written: point records back to back.

#include "pcd/cloud_to_write.hpp"
#include "pcd/file_output.hpp"

namespace tessarel {

void write_binary_data(const CloudToWrite& cloud, AtomicFile& file);

}  // namespace tessarel
