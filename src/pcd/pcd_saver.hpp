#pragma once
// The save driver: checks the cloud, writes the header and the data section in its encoding
// into a temporary file, and puts that in the target's place once it is complete.

#include <string>

#include "pcd/cloud_to_write.hpp"

namespace tessarel {

// Throws std::invalid_argument before anything is written when the cloud cannot be saved as
// asked, and FileError when the file system fails; either way the target is left as it was.
void save_pcd_file(const std::string& filename, const CloudToWrite& cloud);

}  // namespace tessarel
