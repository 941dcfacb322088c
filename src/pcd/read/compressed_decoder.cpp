#include "pcd/read/compressed_decoder.hpp"

#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "pcd/lzf/lzf_decoder.hpp"
#include "pcd/parallel/page_prefault.hpp"

namespace tessarel {
namespace {

constexpr std::uint64_t block_header_bytes = 8;

bool is_padding(const FieldLayout& field) { return field.name == padding_name; }

struct BlockSizes {
    std::uint32_t compressed;
    std::uint32_t uncompressed;
};

BlockSizes read_block_sizes(InputSource& in) {
    const std::uint64_t available = in.remaining();
    if (available < block_header_bytes) {
        throw std::runtime_error("PCD compressed data is truncated: the 8-byte block header holds only " +
                                 std::to_string(available) + " bytes");
    }
    unsigned char bytes[block_header_bytes];
    in.read_exactly(bytes, sizeof bytes);
    BlockSizes sizes;
    std::memcpy(&sizes.compressed, bytes, 4);
    std::memcpy(&sizes.uncompressed, bytes + 4, 4);
    return sizes;
}

bool decodes_exactly(const LzfDecodeResult& result, std::span<const std::byte> out) {
    return result.ec == std::errc{} && result.decoded == out.size();
}

[[noreturn]] void throw_lzf_failure(const BlockSizes& sizes, const LzfDecodeResult& result) {
    const std::string block =
        "LZF decompression failed: block of " + std::to_string(sizes.compressed) + " compressed bytes ";
    const std::string expected = " of " + std::to_string(sizes.uncompressed) + " expected";
    if (result.ec == std::errc{}) {
        throw std::runtime_error(block + "ended at output byte " + std::to_string(result.decoded) + expected);
    }
    const char* const why = result.ec == std::errc::argument_list_too_long
                                ? " (an instruction writes past the expected size)"
                                : " (an instruction is cut off or refers to bytes before the output)";
    throw std::runtime_error(block + "stopped at input byte " + std::to_string(result.consumed) + ", output byte " +
                             std::to_string(result.decoded) + expected + why);
}

// Each field's column, in field order, and the bytes of them all; padding fields have none
// unless the block holds them.
struct Columns {
    std::vector<FieldPlacement> placements;
    std::size_t bytes = 0;
};

Columns column_layout(const PcdLayout& layout, bool with_padding) {
    Columns columns;
    columns.placements.reserve(layout.fields.size());
    for (const FieldLayout& field : layout.fields) {
        if (!with_padding && is_padding(field)) {
            columns.placements.push_back({0, 0, false});
            continue;
        }
        columns.placements.push_back({columns.bytes, field.bytes()});
        columns.bytes += layout.points * field.bytes();
    }
    return columns;
}

// Whether the block holds columns for the padding fields too: writers disagree, and both
// layouts are valid. Throws when the block fits neither.
bool block_holds_padding(const PcdLayout& layout, const BlockSizes& sizes) {
    if (std::uint64_t{sizes.compressed} > max_cloud_bytes) {
        throw std::runtime_error("PCD compressed block of " + std::to_string(sizes.compressed) +
                                 " bytes is too large for this 32-bit build");
    }
    const bool with_padding = sizes.uncompressed == layout.buffer_size;
    if (!with_padding && sizes.uncompressed != column_layout(layout, false).bytes) {
        throw std::runtime_error("PCD compressed block size mismatch: the block decodes to " +
                                 std::to_string(sizes.uncompressed) + " bytes, the header needs " +
                                 std::to_string(layout.buffer_size));
    }
    return with_padding;
}

// Writers that cannot shrink a block store its bytes as they are, with both sizes equal.
// Such bytes are taken as the columns when they do not decode as LZF to exactly that size.
bool stored_raw(const BlockSizes& sizes) { return sizes.compressed == sizes.uncompressed; }

}  // namespace

ColumnBlock read_compressed_data(InputSource& in, const PcdLayout& layout, CpuShare share) {
    // Some writers store an empty cloud without the two sizes.
    if (layout.points == 0 && in.remaining() == 0) {
        return {PointBuffer(0, Fill::zeroed), column_layout(layout, true).placements};
    }
    const BlockSizes sizes = read_block_sizes(in);
    const bool with_padding = block_holds_padding(layout, sizes);
    const std::uint64_t available = in.remaining();
    if (available < sizes.compressed) {
        throw std::runtime_error("PCD compressed data is truncated: expected " + std::to_string(sizes.compressed) +
                                 " compressed bytes, the file holds " + std::to_string(available));
    }
    std::vector<FieldPlacement> columns = column_layout(layout, with_padding).placements;
    if (sizes.uncompressed == 0) return {PointBuffer(0, Fill::zeroed), std::move(columns)};
    // A block that claims more than its bytes can decode to fails before we reserve its size,
    // and so does a cloud whose padding alone would take more.
    if (layout.buffer_size > std::uint64_t{lzf_max_expansion} * sizes.compressed) {
        throw std::runtime_error("LZF decompression failed: block of " + std::to_string(sizes.compressed) +
                                 " compressed bytes cannot hold the " + std::to_string(layout.buffer_size) +
                                 " bytes of the cloud, at most " + std::to_string(lzf_max_expansion) +
                                 " times as many");
    }
    ColumnBlock block{PointBuffer(sizes.uncompressed, Fill::overwritten), std::move(columns)};
    if (const auto in_place = in.view(sizes.compressed)) {
        const BackgroundPrefault prefault({block.buffer.bytes()}, share);
        const LzfDecodeResult result = decode_lzf(*in_place, block.buffer.bytes());
        if (decodes_exactly(result, block.buffer.bytes())) return block;
        if (!stored_raw(sizes)) throw_lzf_failure(sizes, result);
        std::memcpy(block.buffer.data(), in_place->data(), in_place->size());
        return block;
    }
    ByteBuffer compressed(sizes.compressed, Fill::overwritten);
    {
        // Inside both buffers' lifetime, so the helper is joined before either is freed. A
        // failure throws from inside, which stops the helper at once.
        const BackgroundPrefault prefault({compressed.bytes(), block.buffer.bytes()}, share);
        in.read_exactly(compressed.data(), compressed.size());
        const LzfDecodeResult result = decode_lzf(compressed.bytes(), block.buffer.bytes());
        if (decodes_exactly(result, block.buffer.bytes())) return block;
        if (!stored_raw(sizes)) throw_lzf_failure(sizes, result);
    }
    block.buffer = std::move(compressed);
    return block;
}

}  // namespace tessarel
