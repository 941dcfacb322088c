#pragma once
// What reading a PCD file gives: its checked layout and the decoded bytes, with where each
// field's values lie in them: in point records, or in the columns of a compressed block.

#include <vector>

#include "pcd/format/pcd_layout.hpp"
#include "pcd/io/byte_buffer.hpp"

namespace tessarel {

struct PcdCloud {
    PcdLayout layout;
    PointBuffer buffer;
    std::vector<FieldPlacement> placements;  // where each of the layout's fields lies in `buffer`
};

}  // namespace tessarel
