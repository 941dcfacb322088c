#include "pcd/compressed_reader.hpp"

#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "pcd/input_stream.hpp"
#include "pcd/lzf_decoder.hpp"
#include "pcd/page_prefault.hpp"

namespace tessarel {
namespace {

constexpr std::uint64_t block_header_bytes = 8;

bool is_padding(const FieldLayout& field) { return field.name == "_"; }

struct BlockSizes {
    std::uint32_t compressed;
    std::uint32_t uncompressed;
};

BlockSizes read_block_sizes(std::istream& in) {
    const std::uint64_t available = remaining_bytes(in);
    if (available < block_header_bytes) {
        throw std::runtime_error("PCD compressed data is truncated: the 8-byte block header holds only " +
                                 std::to_string(available) + " bytes");
    }
    unsigned char bytes[block_header_bytes];
    read_exactly(in, bytes, sizeof bytes);
    BlockSizes sizes;
    std::memcpy(&sizes.compressed, bytes, 4);
    std::memcpy(&sizes.uncompressed, bytes + 4, 4);
    return sizes;
}

void decompress(std::span<const std::byte> compressed, std::span<std::byte> out) {
    const LzfDecodeResult result = decode_lzf(compressed, out);
    if (result.ec != std::errc{} || result.decoded != out.size()) throw std::runtime_error("LZF decompression failed");
}

// Bytes per point of the fields that have a column in the block.
std::size_t column_bytes(const PcdLayout& layout, bool with_padding) {
    std::size_t bytes = 0;
    for (const FieldLayout& field : layout.fields) {
        if (with_padding || !is_padding(field)) bytes += field.bytes();
    }
    return bytes;
}

// Each field's column, in field order; padding fields have none unless the block holds them.
std::vector<FieldPlacement> column_placements(const PcdLayout& layout, bool with_padding) {
    std::vector<FieldPlacement> columns;
    columns.reserve(layout.fields.size());
    std::size_t start = 0;
    for (const FieldLayout& field : layout.fields) {
        if (!with_padding && is_padding(field)) {
            columns.push_back({0, 0, false});
            continue;
        }
        columns.push_back({start, field.bytes()});
        start += layout.points * field.bytes();
    }
    return columns;
}

// Whether the block holds columns for the `_` padding fields too: writers disagree, and
// both layouts are valid. Throws when the block fits neither.
bool check_block(const PcdLayout& layout, const BlockSizes& sizes) {
    if (std::uint64_t{sizes.compressed} > max_cloud_bytes) {
        throw std::length_error("cannot create std::vector larger than max_size()");
    }
    // Each field is one column of its own width, so the widths must tile the record exactly.
    if (column_bytes(layout, true) != layout.point_step) {
        throw std::runtime_error("PCD fields do not tile the point record of " + std::to_string(layout.point_step) +
                                 " bytes, so the compressed columns cannot be placed");
    }
    const bool with_padding = sizes.uncompressed == layout.buffer_size;
    if (!with_padding && sizes.uncompressed != layout.points * column_bytes(layout, false)) {
        throw std::runtime_error("PCD compressed block size mismatch: the block decodes to " +
                                 std::to_string(sizes.uncompressed) + " bytes, the header needs " +
                                 std::to_string(layout.buffer_size));
    }
    return with_padding;
}

}  // namespace

ColumnBlock read_compressed_data(std::istream& in, const PcdLayout& layout) {
    const BlockSizes sizes = read_block_sizes(in);
    const bool with_padding = check_block(layout, sizes);
    const std::uint64_t available = remaining_bytes(in);
    if (available < sizes.compressed) {
        throw std::runtime_error("PCD compressed data is truncated: expected " + std::to_string(sizes.compressed) +
                                 " compressed bytes, the file holds " + std::to_string(available));
    }
    std::vector<FieldPlacement> columns = column_placements(layout, with_padding);
    if (sizes.uncompressed == 0) return {ByteBuffer(0, Fill::zeroed), std::move(columns)};
    // A block that claims more than its bytes can decode to fails before we reserve its size.
    if (sizes.uncompressed > std::uint64_t{lzf_max_expansion} * sizes.compressed) {
        throw std::runtime_error("LZF decompression failed");
    }
    ColumnBlock block{ByteBuffer(sizes.uncompressed, Fill::overwritten), std::move(columns)};
    ByteBuffer compressed(sizes.compressed, Fill::overwritten);
    // Declared after both buffers, so the helper is joined before either is freed.
    const BackgroundPrefault prefault({compressed.bytes(), block.buffer.bytes()});
    read_exactly(in, compressed.data(), compressed.size());
    decompress(compressed.bytes(), block.buffer.bytes());
    return block;
}

}  // namespace tessarel
