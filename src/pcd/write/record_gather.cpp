#include "pcd/write/record_gather.hpp"

#include <cstdint>
#include <cstring>

namespace tessarel {
namespace {

// One loop per element width, so that each copy is a single load and store.
template <class Word, bool Swapped>
void gather_words(const FieldValues& values, std::size_t count, std::size_t points, const std::byte* source,
                  std::byte* out, std::size_t out_stride) noexcept {
    for (std::size_t i = 0; i < points; ++i, source += values.point_stride, out += out_stride) {
        for (std::size_t e = 0; e < count; ++e) {
            const std::byte* const at = source + static_cast<std::ptrdiff_t>(e) * values.element_stride;
            const Word word = load_value<Word>(at, Swapped);
            std::memcpy(out + e * sizeof word, &word, sizeof word);
        }
    }
}

template <class Word>
void gather_width(const FieldToWrite& field, std::size_t points, const std::byte* source, std::byte* out,
                  std::size_t out_stride) noexcept {
    if (field.values.byte_swapped) {
        return gather_words<Word, true>(field.values, field.count, points, source, out, out_stride);
    }
    return gather_words<Word, false>(field.values, field.count, points, source, out, out_stride);
}

// A run of `Bytes` bytes a point, copied with one fixed-size move.
template <std::size_t Bytes>
void copy_runs(const std::byte* source, std::ptrdiff_t stride, std::size_t points, std::byte* out,
               std::size_t out_stride) noexcept {
    for (std::size_t i = 0; i < points; ++i, source += stride, out += out_stride) std::memcpy(out, source, Bytes);
}

void copy_runs(const std::byte* source, std::ptrdiff_t stride, std::size_t bytes, std::size_t points, std::byte* out,
               std::size_t out_stride) noexcept {
    switch (bytes) {
    case 4: return copy_runs<4>(source, stride, points, out, out_stride);
    case 8: return copy_runs<8>(source, stride, points, out, out_stride);
    case 12: return copy_runs<12>(source, stride, points, out, out_stride);
    case 16: return copy_runs<16>(source, stride, points, out, out_stride);
    case 24: return copy_runs<24>(source, stride, points, out, out_stride);
    case 32: return copy_runs<32>(source, stride, points, out, out_stride);
    default:
        for (std::size_t i = 0; i < points; ++i, source += stride, out += out_stride) std::memcpy(out, source, bytes);
    }
}

// A point's values lie together, in host order.
bool is_plain(const FieldToWrite& field) noexcept {
    return !field.values.byte_swapped &&
           (field.count == 1 || field.values.element_stride == static_cast<std::ptrdiff_t>(field.element_bytes()));
}

const std::byte* point_values(const FieldToWrite& field, std::size_t first) noexcept {
    return field.values.first + static_cast<std::ptrdiff_t>(first) * field.values.point_stride;
}

}  // namespace

void gather_field(const FieldToWrite& field, std::size_t first, std::size_t points, std::byte* out,
                  std::size_t out_stride) noexcept {
    const std::byte* source = point_values(field, first);
    if (is_plain(field)) return copy_runs(source, field.values.point_stride, field.bytes(), points, out, out_stride);
    switch (field.element_bytes()) {
    case 1: return gather_width<std::uint8_t>(field, points, source, out, out_stride);
    case 2: return gather_width<std::uint16_t>(field, points, source, out, out_stride);
    case 4: return gather_width<std::uint32_t>(field, points, source, out, out_stride);
    default: return gather_width<std::uint64_t>(field, points, source, out, out_stride);
    }
}

std::optional<std::span<const std::byte>> contiguous_values(const FieldToWrite& field, std::size_t points) noexcept {
    const bool packed = field.values.point_stride == static_cast<std::ptrdiff_t>(field.bytes());
    if (!is_plain(field) || !packed) return std::nullopt;
    return std::span<const std::byte>(field.values.first, points * field.bytes());
}

RecordGather::RecordGather(const std::vector<FieldToWrite>& fields) {
    for (const FieldToWrite& field : fields) {
        if (field.bytes() == 0) continue;  // COUNT 0: nothing in the record
        const bool plain = is_plain(field);
        if (!runs_.empty() && plain && runs_.back().plain) {
            // Joins the run before it when its values follow that run's in every point.
            FieldToWrite& run = runs_.back().field;
            const bool follows = run.values.first + run.bytes() == field.values.first;
            if (run.values.point_stride == field.values.point_stride && follows) {
                run.count += field.bytes();
                point_step_ += field.bytes();
                continue;
            }
        }
        FieldToWrite run = field;
        // Plain values are copied as bytes, a point's at a time.
        if (plain) {
            run = {field.name, ElementType::u8, field.bytes(), {field.values.first, field.values.point_stride, 1}};
        }
        runs_.push_back({run, point_step_, plain});
        point_step_ += field.bytes();
    }
}

std::optional<std::span<const std::byte>> RecordGather::in_place(std::size_t points) const noexcept {
    if (runs_.size() != 1 || !runs_.front().plain) return std::nullopt;
    const FieldToWrite& run = runs_.front().field;
    if (run.values.point_stride != static_cast<std::ptrdiff_t>(point_step_)) return std::nullopt;
    return std::span<const std::byte>(run.values.first, points * point_step_);
}

void RecordGather::gather(std::size_t first, std::size_t points, std::byte* out) const noexcept {
    for (const Run& run : runs_) gather_field(run.field, first, points, out + run.offset, point_step_);
}

}  // namespace tessarel
