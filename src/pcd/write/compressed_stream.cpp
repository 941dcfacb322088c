#include "pcd/write/compressed_stream.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "pcd/io/interruption.hpp"
#include "pcd/parallel/cpu_share.hpp"
#include "pcd/parallel/ordered_pieces.hpp"
#include "pcd/write/compressed_encoder.hpp"
#include "pcd/write/record_gather.hpp"

namespace tessarel {
namespace {

// Kept chunks start at the size that takes huge pages and grow as large as what the column
// holds, up to this.
constexpr std::size_t largest_kept_chunk = std::size_t{64} << 20;

// Points [first, first + points) of `cloud`, read where they lie.
CloudToWrite points_of(const CloudToWrite& cloud, std::size_t first, std::size_t points) {
    CloudToWrite some = cloud;
    for (FieldValues& values : some.values) values.first += static_cast<std::ptrdiff_t>(first) * values.point_stride;
    some.points = points;
    return some;
}

}  // namespace

CompressedStream::CompressedStream(const RecordLayout& record, AtomicFile& file, bool first_to_file)
    : record_(record),
      file_(file),
      first_to_file_(first_to_file),
      stage_capacity_(std::max<std::size_t>(1, staged_record_bytes / std::max<std::size_t>(1, record.point_step))),
      staging_(stage_capacity_ * record.point_step, Fill::overwritten),
      kept_(record.fields.size()) {}

void CompressedStream::add(const CloudToWrite& part) {
    std::size_t done = 0;
    while (done < part.points) {
        const std::size_t left = part.points - done;
        if (staged_points_ == 0 && left >= stage_capacity_) {
            // A part as large as the staging is encoded where it lies, as a save would encode it.
            const std::size_t direct = left - left % stage_capacity_;
            encode(points_of(part, done, direct));
            done += direct;
            continue;
        }
        const std::size_t points = std::min(stage_capacity_ - staged_points_, left);
        for (std::size_t i = 0; i < record_.fields.size(); ++i) {
            const FieldLayout& field = record_.fields[i];
            std::byte* const out = staged_column(i) + staged_points_ * field.bytes();
            if (const auto column = contiguous_values(field, part.values[i], done + points)) {
                std::memcpy(out, column->data() + done * field.bytes(), points * field.bytes());
            } else {
                gather_field(field, part.values[i], done, points, out, field.bytes());
            }
        }
        staged_points_ += points;
        done += points;
        if (staged_points_ == stage_capacity_) encode_staged();
    }
}

std::byte* CompressedStream::staged_column(std::size_t field) noexcept {
    return staging_.data() + stage_capacity_ * record_.fields[field].offset;
}

void CompressedStream::encode_staged() {
    CloudToWrite staged;
    staged.record = record_;
    staged.points = staged_points_;
    for (std::size_t i = 0; i < record_.fields.size(); ++i) {
        const auto element = static_cast<std::ptrdiff_t>(record_.fields[i].element_bytes());
        const auto point = static_cast<std::ptrdiff_t>(record_.fields[i].bytes());
        staged.values.push_back({staged_column(i), point, element, false});
    }
    encode(staged);
    staged_points_ = 0;
}

void CompressedStream::encode(const CloudToWrite& cloud) {
    const LargeStage stage(compressed_pieces(cloud) >= parallel_save_pieces);
    const ColumnSink pass_on = [this](std::size_t field, std::span<const std::byte> piece) {
        if (!first_to_file_ || (field != 0 && !last_)) return kept_[field].append(piece);
        // The last pieces follow the kept columns before them, which go to the file while
        // helpers encode the pieces after.
        for (std::size_t before = 1; last_ && before <= field; ++before) write_kept(before);
        file_.write(piece);
    };
    compressed_ += encode_columns(cloud, pass_on, stage.share());
}

std::uint64_t CompressedStream::finish() {
    last_ = true;
    if (staged_points_ > 0) encode_staged();
    staging_ = ByteBuffer(0, Fill::overwritten);
    if (first_to_file_) write_kept();
    return compressed_;
}

void CompressedStream::write_kept() {
    for (std::size_t field = 0; field < kept_.size(); ++field) write_kept(field);
}

void CompressedStream::write_kept(std::size_t field) {
    if (!reserved_) {
        std::uint64_t kept = 0;
        for (const KeptBytes& column : kept_) kept += column.size();
        file_.reserve(kept);
        reserved_ = true;
    }
    kept_[field].write_to(file_);
}

void CompressedStream::KeptBytes::append(std::span<const std::byte> bytes) {
    while (!bytes.empty()) {
        if (chunks_.empty() || last_used_ == chunks_.back().size()) {
            const auto size =
                static_cast<std::size_t>(std::clamp<std::uint64_t>(size_, large_buffer_bytes, largest_kept_chunk));
            chunks_.emplace_back(size, Fill::overwritten);
            last_used_ = 0;
        }
        const std::size_t taken = std::min(bytes.size(), chunks_.back().size() - last_used_);
        std::memcpy(chunks_.back().data() + last_used_, bytes.data(), taken);
        last_used_ += taken;
        size_ += taken;
        bytes = bytes.subspan(taken);
    }
}

void CompressedStream::KeptBytes::write_to(AtomicFile& file) {
    for (std::size_t i = 0; i < chunks_.size(); ++i) {
        check_for_interruption();
        const ByteBuffer chunk = std::move(chunks_[i]);  // held no longer than needed
        file.write(chunk.bytes().first(i + 1 == chunks_.size() ? last_used_ : chunk.size()));
    }
    chunks_.clear();
}

}  // namespace tessarel
