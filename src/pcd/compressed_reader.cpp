#include "pcd/compressed_reader.hpp"

#include <lzf.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "pcd/input_stream.hpp"
#include "pcd/page_prefault.hpp"

namespace tessarel {
namespace {

constexpr std::uint64_t block_header_bytes = 8;

// The most an LZF stream can expand: a 3-byte back reference copies at most 264 bytes.
constexpr std::uint64_t lzf_max_expansion = 88;

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

template <std::size_t Width>
void scatter_fixed(const std::byte* column, std::byte* out, std::size_t points, std::size_t step) {
    for (std::size_t i = 0; i < points; ++i, column += Width, out += step) std::memcpy(out, column, Width);
}

void scatter_any(const std::byte* column, std::byte* out, std::size_t points, std::size_t step, std::size_t width) {
    for (std::size_t i = 0; i < points; ++i, column += width, out += step) std::memcpy(out, column, width);
}

void scatter_column(const std::byte* column, std::byte* out, std::size_t points, std::size_t step, std::size_t width) {
    switch (width) {
    case 1: return scatter_fixed<1>(column, out, points, step);
    case 2: return scatter_fixed<2>(column, out, points, step);
    case 4: return scatter_fixed<4>(column, out, points, step);
    case 8: return scatter_fixed<8>(column, out, points, step);
    case 12: return scatter_fixed<12>(column, out, points, step);
    case 16: return scatter_fixed<16>(column, out, points, step);
    default: return scatter_any(column, out, points, step, width);
    }
}

void decompress(std::span<const std::byte> compressed, std::span<std::byte> out) {
    const unsigned decoded = lzf_decompress(compressed.data(), static_cast<unsigned>(compressed.size()),
                                            out.data(), static_cast<unsigned>(out.size()));
    if (decoded != out.size()) throw std::runtime_error("LZF decompression failed");
}

// Bytes per point of the fields that have a column in the block.
std::size_t column_bytes(const PcdLayout& layout, bool with_padding) {
    std::size_t bytes = 0;
    for (const FieldLayout& field : layout.fields) {
        if (with_padding || !is_padding(field)) bytes += field.bytes();
    }
    return bytes;
}

// Places the field-major `block` into point records. `with_padding` says whether the block
// holds columns for the `_` padding fields too.
void scatter_columns(std::span<const std::byte> block, const PcdLayout& layout, bool with_padding,
                     PointBuffer& buffer) {
    struct Column {
        const std::byte* values;
        std::size_t offset;
        std::size_t width;
    };
    const std::size_t points = layout.points;
    const std::size_t step = layout.record_size;
    std::vector<Column> columns;
    const std::byte* values = block.data();
    for (const FieldLayout& field : layout.fields) {
        if (!with_padding && is_padding(field)) continue;
        columns.push_back({values, field.offset, field.bytes()});
        values += points * field.bytes();
    }
    // A slice of points at a time, every column in turn, so that each output record is
    // completed while it is still in cache instead of being revisited once per column.
    // 1024 records of typical size stay within the first-level cache.
    constexpr std::size_t slice = 1024;
    for (std::size_t first = 0; first < points; first += slice) {
        const std::size_t count = std::min(slice, points - first);
        std::byte* records = buffer.data() + first * step;
        for (const Column& column : columns) {
            scatter_column(column.values + first * column.width, records + column.offset, count, step, column.width);
        }
    }
}

}  // namespace

PointBuffer read_compressed_data(std::istream& in, const PcdLayout& layout) {
    const std::size_t buffer_size = layout.buffer_size;
    const BlockSizes sizes = read_block_sizes(in);
    if (std::uint64_t{sizes.compressed} > max_cloud_bytes) {
        throw std::length_error("cannot create std::vector larger than max_size()");
    }
    // Columns are placed by the fields' own widths, so those must tile the record exactly.
    const std::size_t step = layout.record_size;
    if (column_bytes(layout, true) != step) {
        throw std::runtime_error("PCD fields do not tile the point record of " + std::to_string(step) +
                                 " bytes, so the compressed columns cannot be placed");
    }
    // Writers disagree on whether `_` padding fields get a column; both layouts are valid.
    const std::size_t points = layout.points;
    const bool with_padding = sizes.uncompressed == buffer_size;
    if (!with_padding && sizes.uncompressed != points * column_bytes(layout, false)) {
        throw std::runtime_error("PCD compressed block size mismatch: the block decodes to " +
                                 std::to_string(sizes.uncompressed) + " bytes, the header needs " +
                                 std::to_string(buffer_size));
    }
    const std::uint64_t available = remaining_bytes(in);
    if (available < sizes.compressed) {
        throw std::runtime_error("PCD compressed data is truncated: expected " + std::to_string(sizes.compressed) +
                                 " compressed bytes, the file holds " + std::to_string(available));
    }
    if (sizes.uncompressed == 0) return PointBuffer(buffer_size, Fill::zeroed);
    // A block that claims more than its bytes can decode to fails before we reserve its size.
    if (sizes.uncompressed > lzf_max_expansion * sizes.compressed) {
        throw std::runtime_error("LZF decompression failed");
    }
    // When the block holds every column of packed records, the scatter rewrites every byte
    // of the point buffer. Then it need not be zeroed, and the compressed bytes can wait at
    // its end: no buffer of their own, and their pages are in place when the scatter comes.
    const bool overwritten = with_padding && layout.packed;
    PointBuffer buffer(buffer_size, overwritten ? Fill::overwritten : Fill::zeroed);
    std::optional<ByteBuffer> own_buffer;
    std::span<std::byte> compressed;
    if (overwritten && sizes.compressed <= buffer_size) {
        compressed = buffer.bytes().last(sizes.compressed);
    } else {
        compressed = own_buffer.emplace(sizes.compressed, Fill::overwritten).bytes();
    }
    ByteBuffer block(sizes.uncompressed, Fill::overwritten);
    // In the order of first use. The point buffer only when it holds the compressed bytes:
    // otherwise its pages would join them in memory before they are released.
    std::vector<std::span<std::byte>> first_use{compressed, block.bytes()};
    if (!own_buffer) first_use.push_back(buffer.bytes());
    const BackgroundPrefault prefault(std::move(first_use));
    read_exactly(in, compressed.data(), compressed.size());
    decompress(compressed, block.bytes());
    own_buffer.reset();  // released before the scatter doubles the resident size
    scatter_columns(block.bytes(), layout, with_padding, buffer);
    return buffer;
}

}  // namespace tessarel
