#include "pcd/read/binary_decoder.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "pcd/io/interruption.hpp"
#include "pcd/parallel/page_prefault.hpp"

namespace tessarel {
namespace {

// The records a selection reads at a time, whole, before it keeps their chosen fields: few
// enough to stay in the cache between the read and the gather, so the records cross memory once.
constexpr std::size_t records_piece_bytes = std::size_t{1} << 20;

}  // namespace

void check_records_held(const PcdLayout& layout, std::uint64_t available) {
    if (available >= layout.buffer_size) return;
    throw std::runtime_error("PCD binary data is truncated: expected " + std::to_string(layout.buffer_size) +
                             " bytes, the file holds " + std::to_string(available));
}

void read_records(InputSource& in, const PcdLayout& layout, const FieldSelection& selection, std::size_t points,
                  std::byte* out) {
    if (keeps_all(selection)) return in.read_exactly(out, points * layout.point_step);
    if (layout.point_step == 0) return;
    const std::size_t kept_step = kept_layout(layout, selection, 0).point_step;
    const std::size_t piece_points = std::max<std::size_t>(1, records_piece_bytes / layout.point_step);
    ByteBuffer copied(0, Fill::overwritten);
    for (std::size_t done = 0; done < points;) {
        const std::size_t count = std::min(piece_points, points - done);
        const std::size_t bytes = count * layout.point_step;
        std::span<const std::byte> records;
        if (const auto in_place = in.view(bytes)) {
            check_for_interruption();
            records = *in_place;
        } else {
            if (copied.size() < bytes) copied = ByteBuffer(bytes, Fill::overwritten);
            in.read_exactly(copied.data(), bytes);
            records = copied.bytes().first(bytes);
        }
        gather_kept(records, layout, selection, out + done * kept_step);
        done += count;
    }
}

PointBuffer read_binary_data(InputSource& in, const PcdLayout& layout, const FieldSelection& selection,
                             CpuShare share) {
    // Checked before allocating, so a small file that declares a huge cloud costs nothing.
    check_records_held(layout, in.remaining());
    PointBuffer buffer(kept_layout(layout, selection, layout.points).buffer_size, Fill::overwritten);
    const BackgroundPrefault prefault({buffer.bytes()}, share);
    read_records(in, layout, selection, layout.points, buffer.data());
    return buffer;
}

}  // namespace tessarel
