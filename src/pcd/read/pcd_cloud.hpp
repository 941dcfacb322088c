#pragma once
// What reading a PCD file gives: its checked layout and the decoded bytes, with where each
// field's values lie in them.

#include <vector>

#include "pcd/format/pcd_layout.hpp"
#include "pcd/io/byte_buffer.hpp"

namespace tessarel {

struct PcdCloud {
    PcdLayout layout;
    ByteBuffer buffer;                       // point records, or the columns of a compressed block
    std::vector<FieldPlacement> placements;  // where each of the layout's fields lies in `buffer`
    bool columns = false;                    // field after field rather than point after point
};

}  // namespace tessarel
