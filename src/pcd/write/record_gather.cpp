#include "pcd/write/record_gather.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "pcd/io/strided_runs.hpp"

namespace tessarel {
namespace {

// The unsigned word as wide as `Value`.
template <class Value>
using WordOf =
    std::conditional_t<sizeof(Value) == 1, std::uint8_t,
                       std::conditional_t<sizeof(Value) == 2, std::uint16_t,
                                          std::conditional_t<sizeof(Value) == 4, std::uint32_t, std::uint64_t>>>;

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
void gather_width(const FieldValues& values, std::size_t count, std::size_t points, const std::byte* source,
                  std::byte* out, std::size_t out_stride) noexcept {
    if (values.byte_swapped) return gather_words<Word, true>(values, count, points, source, out, out_stride);
    return gather_words<Word, false>(values, count, points, source, out, out_stride);
}

// A point's values lie together, in host order.
bool is_plain(const FieldLayout& field, const FieldValues& values) noexcept {
    return !values.byte_swapped &&
           (field.count == 1 || values.element_stride == static_cast<std::ptrdiff_t>(field.element_bytes()));
}

const std::byte* point_values(const FieldValues& values, std::size_t first) noexcept {
    return values.first + static_cast<std::ptrdiff_t>(first) * values.point_stride;
}

}  // namespace

void gather_field(const FieldLayout& field, const FieldValues& values, std::size_t first, std::size_t points,
                  std::byte* out, std::size_t out_stride) noexcept {
    const std::byte* source = point_values(values, first);
    if (is_plain(field, values)) return copy_runs(source, values.point_stride, field.bytes(), points, out, out_stride);
    // Swapping and copying move bits alone: an unsigned word as wide as the element.
    visit_element_type(field.type, [&](auto zero) {
        gather_width<WordOf<decltype(zero)>>(values, field.count, points, source, out, out_stride);
    });
}

std::optional<std::span<const std::byte>> contiguous_values(const FieldLayout& field, const FieldValues& values,
                                                            std::size_t points) noexcept {
    const bool packed = values.point_stride == static_cast<std::ptrdiff_t>(field.bytes());
    if (!is_plain(field, values) || !packed) return std::nullopt;
    return std::span<const std::byte>(values.first, points * field.bytes());
}

RecordGather::RecordGather(const CloudToWrite& cloud) : point_step_(cloud.record.point_step) {
    for (std::size_t i = 0; i < cloud.record.fields.size(); ++i) {
        const FieldLayout& field = cloud.record.fields[i];
        const FieldValues& values = cloud.values[i];
        if (field.bytes() == 0) continue;  // COUNT 0: nothing in the record
        const bool plain = is_plain(field, values);
        if (!runs_.empty() && plain && !runs_.back().field) {
            // Joins the run before it when its values follow that run's in every point.
            Run& run = runs_.back();
            const bool follows = run.values.first + run.bytes == values.first;
            if (run.values.point_stride == values.point_stride && follows) {
                run.bytes += field.bytes();
                continue;
            }
        }
        runs_.push_back({values, field.offset, field.bytes(), plain ? nullptr : &field});
    }
}

std::optional<std::span<const std::byte>> RecordGather::in_place(std::size_t points) const noexcept {
    if (runs_.size() != 1 || runs_.front().field) return std::nullopt;
    const Run& run = runs_.front();
    if (run.values.point_stride != static_cast<std::ptrdiff_t>(point_step_)) return std::nullopt;
    return std::span<const std::byte>(run.values.first, points * point_step_);
}

void RecordGather::gather(std::size_t first, std::size_t points, std::byte* out) const noexcept {
    // A few dozen records at a time, every run into them: the records stay in the L1 cache
    // between runs, where a pass of each run over a whole piece reads it back from L2 or
    // farther. A third less time for records of a few fields.
    constexpr std::size_t block = 32;
    for (std::size_t done = 0; done < points; done += block) {
        const std::size_t count = std::min(block, points - done);
        std::byte* const records = out + done * point_step_;
        for (const Run& run : runs_) {
            std::byte* const into = records + run.offset;
            if (run.field) {
                gather_field(*run.field, run.values, first + done, count, into, point_step_);
                continue;
            }
            copy_runs(point_values(run.values, first + done), run.values.point_stride, run.bytes, count, into,
                      point_step_);
        }
    }
}

}  // namespace tessarel
