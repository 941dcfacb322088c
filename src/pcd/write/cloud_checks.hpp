#pragma once
// What a save checks of the cloud before anything is written.

#include "pcd/write/cloud_to_write.hpp"

namespace tessarel {

// Throws std::invalid_argument for a field name that the header could not hold (empty,
// with whitespace or control characters), counts beyond what readers hold, columns beyond
// one compressed block, or a WIDTH × HEIGHT other than the point count.
void check_cloud_to_write(const CloudToWrite& cloud);

}  // namespace tessarel
