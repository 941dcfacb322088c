#pragma once
// The save driver: checks the cloud, then writes it as the one part of a stream, in its encoding,
// to the target (through a temporary file, put in the target's place once complete).

#include <string>

#include "pcd/write/cloud_to_write.hpp"

namespace tessarel {

// Throws std::invalid_argument before anything is written when the cloud cannot be saved as
// asked, and FileError when the file system fails; either way the target is left as it was.
void save_pcd_file(const std::string& filename, const CloudToWrite& cloud);

}  // namespace tessarel
