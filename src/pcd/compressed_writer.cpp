#include "pcd/compressed_writer.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "pcd/lzf_encoder.hpp"
#include "pcd/record_gather.hpp"

namespace tessarel {
namespace {

// Columns are encoded a piece at a time into one block: LZF streams concatenate, since a
// reference only reaches back into output that its own piece wrote.
class PieceEncoder {
public:
    explicit PieceEncoder(std::size_t capacity)
        : capacity_(capacity),
          columns_(std::make_unique_for_overwrite<std::byte[]>(capacity)),
          encoded_(std::make_unique_for_overwrite<std::byte[]>(lzf_encoded_bound(capacity))) {}

    std::byte* columns() noexcept { return columns_.get(); }

    // Encodes `columns` (at most the capacity) and writes the result; returns its size.
    std::uint64_t write(std::span<const std::byte> columns, AtomicFile& file) {
        const std::size_t size = encode_lzf(columns, {encoded_.get(), lzf_encoded_bound(capacity_)});
        file.write({encoded_.get(), size});
        return size;
    }

private:
    std::size_t capacity_;
    std::unique_ptr<std::byte[]> columns_;
    std::unique_ptr<std::byte[]> encoded_;
};

void put_u32(std::byte* at, std::uint64_t value) {
    const auto word = static_cast<std::uint32_t>(value);
    std::memcpy(at, &word, sizeof word);
}

}  // namespace

void write_compressed_data(const CloudToWrite& cloud, AtomicFile& file, std::uint64_t offset) {
    std::uint64_t uncompressed = 0;
    std::size_t widest = 0;
    for (const FieldToWrite& field : cloud.fields) {
        uncompressed += std::uint64_t{field.bytes()} * cloud.points;
        widest = std::max(widest, field.bytes());
    }
    std::byte sizes[8]{};
    file.write(sizes);  // the compressed size is known at the end
    PieceEncoder encoder(std::max(output_piece_bytes, widest));
    std::uint64_t compressed = 0;
    for (const FieldToWrite& field : cloud.fields) {
        // A field wider than a piece takes a piece of its own.
        const std::size_t piece_points = std::max<std::size_t>(1, output_piece_bytes / field.bytes());
        const auto in_place = contiguous_values(field, cloud.points);
        for (std::size_t first = 0; first < cloud.points; first += piece_points) {
            const std::size_t points = std::min(piece_points, cloud.points - first);
            if (in_place) {
                compressed += encoder.write(in_place->subspan(first * field.bytes(), points * field.bytes()), file);
                continue;
            }
            gather_field(field, first, points, encoder.columns(), field.bytes());
            compressed += encoder.write({encoder.columns(), points * field.bytes()}, file);
        }
    }
    if (compressed > max_block_bytes) {
        throw std::length_error("the compressed block of " + std::to_string(compressed) +
                                " bytes exceeds the 32-bit size of a binary_compressed block");
    }
    put_u32(sizes, compressed);
    put_u32(sizes + 4, uncompressed);
    file.write_at(offset, sizes);
}

}  // namespace tessarel
