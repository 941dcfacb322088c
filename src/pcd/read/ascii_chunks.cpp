#include "pcd/read/ascii_chunks.hpp"

#include <algorithm>

#include "pcd/format/limits.hpp"

namespace tessarel {

AsciiChunks::AsciiChunks(InputSource& in, const PcdLayout& layout, const FieldSelection& selection,
                         std::size_t piece_bytes)
    : layout_(layout),
      tokens_(point_tokens(layout, selection)),
      expected_(cloud_values(layout, tokens_)),
      text_bytes_(in.remaining()),
      text_(in, text_bytes_, piece_bytes, max_ascii_token) {}

PointBuffer AsciiChunks::next(std::size_t points) {
    if (failure_) std::rethrow_exception(failure_);
    try {
        return read(points);
    } catch (...) {
        failure_ = std::current_exception();
        throw;
    }
}

PointBuffer AsciiChunks::read(std::size_t points) {
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(points, layout_.points - at_.point));
    // As a whole load does: a text too short for the chunk's values is read through for the
    // error before the chunk is reserved, so that a few bytes cannot reserve what a header claims.
    const std::uint64_t values = std::uint64_t{count} * tokens_.values;
    if (values > (at_.unread(text_bytes_) + 1) / 2) {
        throw_read_error(read_points(text_, at_, tokens_, count, nullptr), layout_, expected_);
    }
    PointBuffer chunk(count * tokens_.point_step, count ? Fill::overwritten : Fill::zeroed);
    const Stop stop = read_points(text_, at_, tokens_, count, chunk.data());
    if (stop.failed()) throw_read_error(stop, layout_, expected_);
    return chunk;
}

}  // namespace tessarel
