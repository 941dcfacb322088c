#pragma once
// Copies fields' values, wherever and however they lie in memory, into the packed order a
// file holds them in: little-endian elements, a point's elements together, fields side by
// side in a record.

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "pcd/write/cloud_to_write.hpp"

namespace tessarel {

// The values of points [first, first + points) of `field`, which lie as `values` says, into
// `out`, `out_stride` bytes from one point to the next.
void gather_field(const FieldLayout& field, const FieldValues& values, std::size_t first, std::size_t points,
                  std::byte* out, std::size_t out_stride) noexcept;

// The values of a field, or of fields side by side in one record, as they lie: a point's
// values together, in host order. Arrays that load_pcd returned, or slices of one record
// array, lie so, and are copied a run at a time rather than a value at a time.
std::optional<std::span<const std::byte>> contiguous_values(const FieldLayout& field, const FieldValues& values,
                                                            std::size_t points) noexcept;

// Point records assembled from fields: fields whose values lie side by side in memory, as
// in the records of the array they come from, are copied as one run.
class RecordGather {
public:
    explicit RecordGather(const CloudToWrite& cloud);

    // The records of the first `points` points where they already lie, when the fields form
    // whole records in memory.
    std::optional<std::span<const std::byte>> in_place(std::size_t points) const noexcept;

    // Writes the records of points [first, first + points) to `out`.
    void gather(std::size_t first, std::size_t points, std::byte* out) const noexcept;

private:
    // A field, or fields side by side in memory and in the record, copied as one.
    struct Run {
        FieldValues values;
        std::size_t offset = 0;  // in the record
        std::size_t bytes = 0;   // of one point
        // Gathered value by value; none for bytes in host order, a point's together.
        const FieldLayout* field = nullptr;
    };
    std::vector<Run> runs_;
    std::size_t point_step_ = 0;
};

}  // namespace tessarel
