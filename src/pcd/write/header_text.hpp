#pragma once
// The text header of a saved file, in the order the reference writer uses: VERSION 0.7,
// FIELDS, SIZE, TYPE, COUNT, WIDTH, HEIGHT, VIEWPOINT, POINTS, DATA.

#include <string>

#include "pcd/write/cloud_to_write.hpp"

namespace tessarel {

// The header of `cloud`, which check_cloud_to_write has passed.
std::string header_text(const CloudToWrite& cloud);

}  // namespace tessarel
