#include "pcd/write/binary_encoder.hpp"

#include <algorithm>
#include <memory>

#include "pcd/io/interruption.hpp"
#include "pcd/write/record_gather.hpp"

namespace tessarel {
namespace {

// Records that lie in the file's order are written as they are, in pieces between which the
// caller may stop the save.
void write_in_place(std::span<const std::byte> records, AtomicFile& file) {
    constexpr std::size_t piece = std::size_t{16} << 20;
    for (std::size_t first = 0; first < records.size(); first += piece) {
        check_for_interruption();
        file.write(records.subspan(first, std::min(piece, records.size() - first)));
    }
}

}  // namespace

void write_binary_data(const CloudToWrite& cloud, AtomicFile& file) {
    const RecordGather records(cloud);
    const std::size_t point_step = cloud.record.point_step;
    if (const auto whole = records.in_place(cloud.points)) return write_in_place(*whole, file);
    const std::size_t piece_points = std::max<std::size_t>(1, output_piece_bytes / point_step);
    const auto piece = std::make_unique_for_overwrite<std::byte[]>(piece_points * point_step);
    for (std::size_t first = 0; first < cloud.points; first += piece_points) {
        check_for_interruption();
        const std::size_t points = std::min(piece_points, cloud.points - first);
        records.gather(first, points, piece.get());
        file.write({piece.get(), points * point_step});
    }
}

}  // namespace tessarel
