#include "pcd/read/compressed_decoder.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "pcd/lzf/lzf_decoder.hpp"
#include "pcd/lzf/lzf_stream_decoder.hpp"
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

bool decodes_exactly(const LzfDecodeResult& result, std::size_t size) {
    return result.ec == std::errc{} && result.decoded == size;
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

// Where a kept column lies in the block and in the buffer of the kept columns.
struct KeptColumn {
    std::size_t from;
    std::size_t to;
    std::size_t size;
};

// The kept fields' columns, back to back in the order of the fields.
struct KeptColumns {
    std::vector<FieldPlacement> placements;  // one for each kept field
    std::vector<KeptColumn> copies;
    std::size_t bytes = 0;
};

KeptColumns keep_columns(const PcdLayout& layout, const std::vector<FieldPlacement>& columns,
                         const FieldSelection& selection) {
    KeptColumns kept;
    for (const std::size_t index : kept_indices(selection)) {
        const FieldPlacement& column = columns[index];
        if (!column.present) {
            kept.placements.push_back(column);
            continue;
        }
        const std::size_t size = layout.points * layout.fields[index].bytes();
        kept.placements.push_back({kept.bytes, column.stride});
        kept.copies.push_back({column.base, kept.bytes, size});
        kept.bytes += size;
    }
    return kept;
}

// Copies what `bytes`, from `position` of the block on, hold of the kept columns.
void copy_kept(const std::vector<KeptColumn>& copies, std::size_t position, std::span<const std::byte> bytes,
               std::byte* to) {
    const std::size_t end = position + bytes.size();
    for (const KeptColumn& column : copies) {
        const std::size_t first = std::max(position, column.from);
        const std::size_t last = std::min(end, column.from + column.size);
        if (first < last)
            std::memcpy(to + column.to + (first - column.from), bytes.data() + (first - position), last - first);
    }
}

ColumnBlock decode_whole_block(InputSource& in, const BlockSizes& sizes, std::vector<FieldPlacement> columns,
                               CpuShare share) {
    ColumnBlock block{PointBuffer(sizes.uncompressed, Fill::overwritten), std::move(columns)};
    if (const auto in_place = in.view(sizes.compressed)) {
        const BackgroundPrefault prefault({block.buffer.bytes()}, share);
        const LzfDecodeResult result = decode_lzf(*in_place, block.buffer.bytes());
        if (decodes_exactly(result, block.buffer.size())) return block;
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
        if (decodes_exactly(result, block.buffer.size())) return block;
        if (!stored_raw(sizes)) throw_lzf_failure(sizes, result);
    }
    block.buffer = std::move(compressed);
    return block;
}

// The other columns pass through the decoder's window and are never held, nor is the block
// when it comes from a file: the load takes the kept columns and a few MiB.
ColumnBlock decode_kept_columns(InputSource& in, const BlockSizes& sizes, KeptColumns kept, CpuShare share) {
    ColumnBlock block{PointBuffer(kept.bytes, Fill::overwritten), std::move(kept.placements)};
    const BackgroundPrefault prefault({block.buffer.bytes()}, share);
    const LzfTake take = [&](std::size_t position, std::span<const std::byte> bytes) {
        copy_kept(kept.copies, position, bytes, block.buffer.data());
    };
    const auto decode_in_memory = [&](std::span<const std::byte> compressed) {
        const LzfDecodeResult result = decode_lzf_in_pieces(compressed, sizes.uncompressed, take);
        if (decodes_exactly(result, sizes.uncompressed)) return;
        if (!stored_raw(sizes)) throw_lzf_failure(sizes, result);
        take(0, compressed);
    };
    if (const auto in_place = in.view(sizes.compressed)) {
        decode_in_memory(*in_place);
        return block;
    }
    // A block that may be stored raw is read whole, as its bytes may turn out to be the
    // columns; writers store raw only what does not shrink, so this is rare.
    if (stored_raw(sizes)) {
        ByteBuffer compressed(sizes.compressed, Fill::overwritten);
        in.read_exactly(compressed.data(), compressed.size());
        decode_in_memory(compressed.bytes());
        return block;
    }
    const LzfRead read = [&in](std::span<std::byte> into) { in.read_exactly(into.data(), into.size()); };
    const LzfDecodeResult result = decode_lzf_in_pieces(sizes.compressed, read, sizes.uncompressed, take);
    if (!decodes_exactly(result, sizes.uncompressed)) throw_lzf_failure(sizes, result);
    return block;
}

}  // namespace

ColumnBlock read_compressed_data(InputSource& in, const PcdLayout& layout, const FieldSelection& selection,
                                 CpuShare share) {
    // Some writers store an empty cloud without the two sizes.
    if (layout.points == 0 && in.remaining() == 0) {
        return {PointBuffer(0, Fill::zeroed),
                keep_columns(layout, column_layout(layout, true).placements, selection).placements};
    }
    const BlockSizes sizes = read_block_sizes(in);
    const bool with_padding = block_holds_padding(layout, sizes);
    const std::uint64_t available = in.remaining();
    if (available < sizes.compressed) {
        throw std::runtime_error("PCD compressed data is truncated: expected " + std::to_string(sizes.compressed) +
                                 " compressed bytes, the file holds " + std::to_string(available));
    }
    std::vector<FieldPlacement> columns = column_layout(layout, with_padding).placements;
    if (sizes.uncompressed == 0)
        return {PointBuffer(0, Fill::zeroed), keep_columns(layout, columns, selection).placements};
    // A block that claims more than its bytes can decode to fails before we reserve its size,
    // and so does a cloud whose padding alone would take more.
    if (layout.buffer_size > std::uint64_t{lzf_max_expansion} * sizes.compressed) {
        throw std::runtime_error("LZF decompression failed: block of " + std::to_string(sizes.compressed) +
                                 " compressed bytes cannot hold the " + std::to_string(layout.buffer_size) +
                                 " bytes of the cloud, at most " + std::to_string(lzf_max_expansion) +
                                 " times as many");
    }
    if (keeps_all(selection)) return decode_whole_block(in, sizes, std::move(columns), share);
    return decode_kept_columns(in, sizes, keep_columns(layout, columns, selection), share);
}

}  // namespace tessarel
