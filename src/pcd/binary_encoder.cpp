#include "pcd/binary_encoder.hpp"

#include <algorithm>
#include <memory>

#include "pcd/record_gather.hpp"

namespace tessarel {

void write_binary_data(const CloudToWrite& cloud, AtomicFile& file) {
    const RecordGather records(cloud.fields);
    const std::size_t point_step = records.point_step();
    if (const auto whole = records.in_place(cloud.points)) return file.write(*whole);
    const std::size_t piece_points = std::max<std::size_t>(1, output_piece_bytes / point_step);
    const auto piece = std::make_unique_for_overwrite<std::byte[]>(piece_points * point_step);
    for (std::size_t first = 0; first < cloud.points; first += piece_points) {
        const std::size_t points = std::min(piece_points, cloud.points - first);
        records.gather(first, points, piece.get());
        file.write({piece.get(), points * point_step});
    }
}

}  // namespace tessarel
