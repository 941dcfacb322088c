#pragma once
// The text header of a saved file, in the order the reference writer uses: VERSION 0.7,
// FIELDS, SIZE, TYPE, COUNT, WIDTH, HEIGHT, VIEWPOINT, POINTS, DATA.

#include <cstdint>
#include <string>

#include "pcd/write/cloud_to_write.hpp"

namespace tessarel {

// How WIDTH and POINTS are written: as they are, or padded to the width of the largest count,
// so that a writer that learns its point count last rewrites the header in place.
enum class CountText : std::uint8_t { exact, reserved };

// The header of `cloud`, which check_cloud_to_write has passed.
std::string header_text(const CloudToWrite& cloud, CountText counts = CountText::exact);

}  // namespace tessarel
