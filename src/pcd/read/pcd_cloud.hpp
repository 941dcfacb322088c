#pragma once
// What reading a PCD file gives: the layout of the fields it kept and their decoded bytes,
// with where each kept field's values lie in them: in point records, in the columns of a
// compressed block, or in the records of a mapped file.

#include <vector>

#include "pcd/format/pcd_layout.hpp"
#include "pcd/io/byte_buffer.hpp"

namespace tessarel {

struct PcdCloud {
    PcdLayout layout;  // the kept fields, as kept_layout gives them; the placements say where they lie
    SharedBytes buffer;
    std::vector<FieldPlacement> placements;  // where each of the layout's fields lies in `buffer`
};

}  // namespace tessarel
