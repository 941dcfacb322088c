#include "pcd/write/compressed_encoder.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "pcd/format/limits.hpp"
#include "pcd/lzf/lzf_encoder.hpp"
#include "pcd/parallel/ordered_pieces.hpp"
#include "pcd/write/record_gather.hpp"

namespace tessarel {
namespace {

// A run of one field's column: points [first, first + points).
struct ColumnPiece {
    const FieldLayout* field;
    const FieldValues* values;
    std::size_t first;
    std::size_t points;

    std::size_t bytes() const noexcept { return points * field->bytes(); }
};

// The columns cut into pieces of at most a piece's bytes; a field wider than that takes a
// piece of its own for each point, and a field of COUNT 0 none.
std::vector<ColumnPiece> column_pieces(const CloudToWrite& cloud) {
    std::vector<ColumnPiece> pieces;
    for (std::size_t i = 0; i < cloud.record.fields.size(); ++i) {
        const FieldLayout& field = cloud.record.fields[i];
        if (field.bytes() == 0) continue;
        const std::size_t piece_points = std::max<std::size_t>(1, output_piece_bytes / field.bytes());
        for (std::size_t first = 0; first < cloud.points; first += piece_points) {
            pieces.push_back({&field, &cloud.values[i], first, std::min(piece_points, cloud.points - first)});
        }
    }
    return pieces;
}

// The piece's values where they lie, or gathered into `scratch`.
std::span<const std::byte> piece_values(const ColumnPiece& piece, std::span<std::byte> scratch) noexcept {
    if (const auto column = contiguous_values(*piece.field, *piece.values, piece.first + piece.points)) {
        return column->subspan(piece.first * piece.field->bytes(), piece.bytes());
    }
    gather_field(*piece.field, *piece.values, piece.first, piece.points, scratch.data(), piece.field->bytes());
    return scratch.first(piece.bytes());
}

void put_u32(std::byte* at, std::uint64_t value) {
    const auto word = static_cast<std::uint32_t>(value);
    std::memcpy(at, &word, sizeof word);
}

}  // namespace

std::size_t compressed_pieces(const CloudToWrite& cloud) { return column_pieces(cloud).size(); }

std::uint64_t encode_columns(const CloudToWrite& cloud, const ColumnSink& sink, CpuShare share) {
    const std::vector<ColumnPiece> pieces = column_pieces(cloud);
    std::size_t largest = 0;
    for (const ColumnPiece& piece : pieces) largest = std::max(largest, piece.bytes());
    // A reference reaches back only into output that its own piece wrote: the pieces are
    // encoded apart, on as many CPUs as the save may take.
    const MakePiece encode = [&](std::size_t index, std::span<std::byte> out, std::span<std::byte> scratch) {
        return encode_lzf(piece_values(pieces[index], scratch), out);
    };
    std::size_t next = 0;
    const PieceSink to_sink = [&](std::span<const std::byte> piece) {
        sink(static_cast<std::size_t>(pieces[next++].field - cloud.record.fields.data()), piece);
    };
    return make_pieces_in_order({pieces.size(), lzf_encoded_bound(largest), largest}, encode, to_sink, share);
}

std::array<std::byte, 8> section_sizes(std::uint64_t compressed, std::uint64_t columns) {
    if (compressed > max_block_bytes) {
        throw std::length_error("the compressed block of " + std::to_string(compressed) +
                                " bytes exceeds the 32-bit size of a binary_compressed block");
    }
    std::array<std::byte, 8> sizes{};
    put_u32(sizes.data(), compressed);
    put_u32(sizes.data() + 4, columns);
    return sizes;
}

void write_compressed_data(const CloudToWrite& cloud, AtomicFile& file, std::uint64_t offset, CpuShare share) {
    const std::byte unknown[8]{};
    file.hold_for_write_at();
    file.write(unknown);  // the compressed size is known at the end
    const ColumnSink to_file = [&file](std::size_t, std::span<const std::byte> piece) { file.write(piece); };
    const std::uint64_t compressed = encode_columns(cloud, to_file, share);
    // Every record's bytes, as columns.
    file.write_at(offset, section_sizes(compressed, std::uint64_t{cloud.points} * cloud.record.point_step));
}

}  // namespace tessarel
