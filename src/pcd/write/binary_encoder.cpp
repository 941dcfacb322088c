#include "pcd/write/binary_encoder.hpp"

#include <algorithm>

#include "pcd/io/interruption.hpp"
#include "pcd/parallel/cpu_share.hpp"
#include "pcd/parallel/ordered_pieces.hpp"
#include "pcd/parallel/placed_pieces.hpp"
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
    file.reserve(std::uint64_t{cloud.points} * point_step);
    if (const auto whole = records.in_place(cloud.points)) return write_in_place(*whole, file);
    // The kernel's copy into the file takes longer than the gather: while one thread writes a
    // piece, another gathers the next. Into our own file, each thread writes the pieces it
    // gathered, from its own cache; into any other, the caller's thread writes them in order.
    // Pieces smaller than a MiB cost more in write calls and turns at the file than they save.
    const std::size_t piece_points = std::max<std::size_t>(1, output_piece_bytes / point_step);
    const std::size_t pieces = (cloud.points + piece_points - 1) / piece_points;
    const MakePiece gather = [&](std::size_t piece, std::span<std::byte> out, std::span<std::byte>) {
        const std::size_t first = piece * piece_points;
        const std::size_t points = std::min(piece_points, cloud.points - first);
        records.gather(first, points, out.data());
        return points * point_step;
    };
    const LargeStage stage(pieces >= parallel_save_pieces);
    const PieceShape shape{pieces, piece_points * point_step, 0, 2};
    if (file.takes_placed_writes() && stage.share().now() >= 2) {
        write_pieces_in_place(shape, gather, file, stage.share());
        return;
    }
    // The helper stays ahead of the writes with two pieces held for each thread.
    write_pieces_in_order(shape, gather, file, stage.share());
}

void gather_binary_data(const CloudToWrite& cloud, std::span<std::byte> out) {
    const RecordGather records(cloud);
    if (const auto whole = records.in_place(cloud.points)) {
        std::copy(whole->begin(), whole->end(), out.begin());
        return;
    }
    records.gather(0, cloud.points, out.data());
}

}  // namespace tessarel
