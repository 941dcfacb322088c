#pragma once
// The "binary" data section written: point records back to back.

#include "pcd/io/file_output.hpp"
#include "pcd/write/cloud_to_write.hpp"

namespace tessarel {

void write_binary_data(const CloudToWrite& cloud, AtomicFile& file);

}  // namespace tessarel
