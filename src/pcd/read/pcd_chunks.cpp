#include "pcd/read/pcd_chunks.hpp"

#include <algorithm>

#include "pcd/parallel/cpu_share.hpp"
#include "pcd/read/binary_decoder.hpp"
#include "pcd/read/compressed_decoder.hpp"

namespace tessarel {

PcdChunks::PcdChunks(std::unique_ptr<InputSource> in, const FieldRequest& names)
    : in_(std::move(in)),
      header_(parse_pcd_header(*in_)),
      layout_(make_layout(header_)),
      selection_(select_requested(layout_, names)) {
    if (layout_.encoding == Encoding::ascii) ascii_.emplace(*in_, layout_, selection_);
}

std::optional<PcdCloud> PcdChunks::next(std::size_t points) {
    const bool columns = layout_.encoding == Encoding::binary_compressed;
    if (columns && !block_) decode_block();
    if (done_ == layout_.points) return std::nullopt;
    const std::size_t count = std::min(points, layout_.points - done_);
    PcdCloud chunk = columns ? next_columns(count) : next_records(count);
    done_ += count;
    return chunk;
}

PcdCloud PcdChunks::next_records(std::size_t points) {
    PcdLayout kept = kept_layout(layout_, selection_, points);
    PointBuffer buffer(0, Fill::overwritten);
    if (ascii_) {
        buffer = ascii_->next(points);
    } else {
        // Only a chunk past the data's end fails, with what the whole load says of the file.
        const std::uint64_t available = in_->remaining();
        if (available < points * layout_.point_step)
            check_records_held(layout_, done_ * layout_.point_step + available);
        buffer = PointBuffer(kept.buffer_size, Fill::overwritten);
        read_records(*in_, layout_, selection_, points, buffer.data());
    }
    std::vector<FieldPlacement> placements = record_placements(kept);
    return {std::move(kept), SharedBytes(std::move(buffer)), std::move(placements)};
}

void PcdChunks::decode_block() {
    const LargeStage stage(layout_.buffer_size >= large_buffer_bytes);
    ColumnBlock block = read_compressed_data(*in_, layout_, selection_, stage.share());
    block_ = SharedBytes(std::move(block.buffer));
    columns_ = std::move(block.columns);
}

PcdCloud PcdChunks::next_columns(std::size_t points) {
    std::vector<FieldPlacement> placements;
    for (const FieldPlacement& column : columns_) {
        placements.push_back(column.present ? FieldPlacement{column.base + done_ * column.stride, column.stride}
                                            : column);
    }
    return {kept_layout(layout_, selection_, points), *block_, std::move(placements)};
}

}  // namespace tessarel
