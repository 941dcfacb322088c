#include "pcd/read/ascii_decoder.hpp"

#include <cstdint>
#include <exception>
#include <span>

#include "pcd/parallel/page_prefault.hpp"
#include "pcd/read/ascii_parallel.hpp"
#include "pcd/read/ascii_points.hpp"
#include "pcd/read/ascii_text.hpp"

namespace tessarel {
namespace {

// The decoder's faults as the parallel parse keeps them.
std::exception_ptr read_error(const Stop& stop, const PcdLayout& layout, std::uint64_t expected) {
    try {
        throw_read_error(stop, layout, expected);
    } catch (...) {
        return std::current_exception();
    }
}

// The values parsed by several threads, each taking the next piece of the text.
void decode_in_parallel(TextPieces& text, const PointTokens& tokens, const PcdLayout& layout, std::uint64_t expected,
                        int threads, CpuShare share, std::byte* records) {
    const ParsePiece parse = [&](std::span<const char> piece, std::uint64_t first, std::uint64_t values) {
        const Stop stop = read_piece(piece, tokens, first, values, records);
        return stop.failed() ? read_error(stop, layout, expected) : nullptr;
    };
    Stop stop;
    stop.values_read = parse_in_parallel(text, expected, threads, share, parse);
    stop.ended_early = stop.values_read < expected;
    if (stop.failed()) throw_read_error(stop, layout, expected);
}

}  // namespace

PointBuffer read_ascii_data(InputSource& in, const PcdLayout& layout, const FieldSelection& selection, CpuShare share,
                            std::size_t piece_bytes) {
    const PointTokens tokens = point_tokens(layout, selection);
    const std::size_t buffer_size = kept_layout(layout, selection, layout.points).buffer_size;
    const std::uint64_t expected = cloud_values(layout, tokens);
    if (expected == 0) return PointBuffer(buffer_size, Fill::zeroed);
    const std::uint64_t text_bytes = in.remaining();
    TextCursor at;
    // Every value after the first takes two bytes at least: itself and what separates it. A
    // text too short for its values is read through first, for the exact error, before the
    // cloud is reserved: so a file of a few bytes cannot make us reserve the gigabytes its
    // header declares. Past that check the buffer holds at most 8 bytes a value, four times
    // the text.
    if (expected > (text_bytes + 1) / 2) {
        TextPieces text(in, text_bytes, piece_bytes, max_ascii_token);
        throw_read_error(read_points(text, at, tokens, layout.points, nullptr), layout, expected);
    }
    // The kept fields fill the kept record, so every byte is written.
    PointBuffer buffer(buffer_size, Fill::overwritten);
    const BackgroundPrefault prefault({buffer.bytes()}, share);
    TextPieces text(in, text_bytes, piece_bytes, max_ascii_token);
    if (const int threads = ascii_threads(share, text_bytes, piece_bytes); threads > 1) {
        decode_in_parallel(text, tokens, layout, expected, threads, share, buffer.data());
        return buffer;
    }
    const Stop stop = read_points(text, at, tokens, layout.points, buffer.data());
    if (stop.failed()) throw_read_error(stop, layout, expected);
    return buffer;
}

}  // namespace tessarel
