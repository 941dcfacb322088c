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
// caller may stop the save, each ending on a folio boundary of the file.
void write_in_place(std::span<const std::byte> records, AtomicFile& file) {
    constexpr std::uint64_t piece = 16 * folio_boundary;
    for (std::size_t first = 0; first < records.size();) {
        check_for_interruption();
        const std::uint64_t to_boundary = piece - file.written() % piece;
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(to_boundary, records.size() - first));
        file.write(records.subspan(first, size));
        first += size;
    }
}

// Gathered records written by two threads at their places in our own file. Pieces end on folio
// boundaries of the file, and so may begin and end within a record: a piece gathers the records
// it touches and writes its bytes of them.
void write_gathered_in_place(const RecordGather& records, std::size_t points, std::size_t point_step, AtomicFile& file,
                             CpuShare share) {
    const MakeSectionBytes gather = [&](std::uint64_t first, std::size_t bytes, std::span<std::byte> out) {
        // Points of the cloud, so within std::size_t.
        const auto first_point = static_cast<std::size_t>(first / point_step);
        const auto end_point = static_cast<std::size_t>((first + bytes + point_step - 1) / point_step);
        records.gather(first_point, end_point - first_point, out.data());
        const auto skipped = static_cast<std::size_t>(first - std::uint64_t{first_point} * point_step);
        return std::span<const std::byte>(out).subspan(skipped, bytes);
    };
    write_pieces_in_place({std::uint64_t{points} * point_step, output_piece_bytes + 2 * point_step}, gather, file,
                          share);
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
    const LargeStage stage(pieces >= parallel_save_pieces);
    if (file.takes_placed_writes() && stage.share().now() >= 2) {
        return write_gathered_in_place(records, cloud.points, point_step, file, stage.share());
    }
    const MakePiece gather = [&](std::size_t piece, std::span<std::byte> out, std::span<std::byte>) {
        const std::size_t first = piece * piece_points;
        const std::size_t points = std::min(piece_points, cloud.points - first);
        records.gather(first, points, out.data());
        return points * point_step;
    };
    // The helper stays ahead of the writes with two pieces held for each thread.
    write_pieces_in_order({pieces, piece_points * point_step, 0, 2}, gather, file, stage.share());
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
