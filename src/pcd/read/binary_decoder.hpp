#pragma once
// The "binary" data section: the point records themselves, back to back.

#include <cstddef>
#include <cstdint>

#include "pcd/format/pcd_layout.hpp"
#include "pcd/io/byte_buffer.hpp"
#include "pcd/io/input_source.hpp"
#include "pcd/parallel/cpu_share.hpp"
#include "pcd/read/field_selection.hpp"

namespace tessarel {

// Throws the error of a data section that holds `available` of the `layout`'s bytes, when
// that is fewer than the cloud needs.
void check_records_held(const PcdLayout& layout, std::uint64_t available);

// Reads the next `points` records from `in` into `out`, laid out as kept_layout gives them for
// `selection`. A selection's records are read a few MiB at a time and only the kept fields
// stay. The caller has checked that the source holds them.
void read_records(InputSource& in, const PcdLayout& layout, const FieldSelection& selection, std::size_t points,
                  std::byte* out);

// The whole cloud's records, laid out as kept_layout gives them for `selection`.
PointBuffer read_binary_data(InputSource& in, const PcdLayout& layout, const FieldSelection& selection, CpuShare share);

}  // namespace tessarel
