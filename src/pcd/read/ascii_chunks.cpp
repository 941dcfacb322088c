#include "pcd/read/ascii_chunks.hpp"

#include <algorithm>
#include <cstring>

#include "pcd/read/ascii_decoder.hpp"

namespace tessarel {

AsciiChunks::AsciiChunks(InputSource& in, const PcdLayout& layout, const FieldSelection& selection)
    : in_(in), layout_(layout), selection_(selection) {}

// Temporary: decodes the whole text at the first call and hands out copies of its runs.
PointBuffer AsciiChunks::next(std::size_t points) {
    if (!all_) all_ = read_ascii_data(in_, layout_, selection_, CpuShare{});
    const std::size_t step = kept_layout(layout_, selection_, 0).point_step;
    const std::size_t count = std::min(points, layout_.points - done_);
    PointBuffer chunk(count * step, Fill::overwritten);
    std::memcpy(chunk.data(), all_->data() + done_ * step, count * step);
    done_ += count;
    return chunk;
}

}  // namespace tessarel
