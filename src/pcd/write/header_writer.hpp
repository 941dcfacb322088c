#pragma once
// The text header of a saved file, in the order the reference writer uses: VERSION 0.7,
// FIELDS, SIZE, TYPE, COUNT, WIDTH, HEIGHT, VIEWPOINT, POINTS, DATA.

#include <string>

#include "pcd/write/cloud_to_write.hpp"

namespace tessarel {

// Throws std::invalid_argument for a field name that the header could not hold (empty,
// with whitespace or control characters) or a WIDTH × HEIGHT other than the point count.
void check_cloud_to_write(const CloudToWrite& cloud);

std::string header_text(const CloudToWrite& cloud);

}  // namespace tessarel
