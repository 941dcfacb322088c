#pragma once
// The "ascii" data section read a run of points at a time.

#include <cstddef>
#include <optional>

#include "pcd/format/pcd_layout.hpp"
#include "pcd/io/byte_buffer.hpp"
#include "pcd/io/input_source.hpp"
#include "pcd/read/field_selection.hpp"

namespace tessarel {

class AsciiChunks {
public:
    AsciiChunks(InputSource& in, const PcdLayout& layout, const FieldSelection& selection);

    // The next `points` points (fewer at the end), laid out as kept_layout(layout, selection, n).
    PointBuffer next(std::size_t points);

private:
    InputSource& in_;
    const PcdLayout& layout_;
    const FieldSelection& selection_;
    std::optional<PointBuffer> all_;
    std::size_t done_ = 0;
};

}  // namespace tessarel
