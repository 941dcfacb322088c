#pragma once
// Which fields a load decodes and keeps: those the caller names, and x, y and z, which the
// points are made of. Decoders fill the kept fields back to back, in the file's order, and
// skip the others without holding them.

#include <cstddef>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "pcd/format/pcd_layout.hpp"

namespace tessarel {

struct FieldSelection {
    std::vector<bool> kept;  // one for each of the layout's fields
};

// A name asked for that the file has no field of.
class MissingField : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The names a caller asks for, or none for every field.
using FieldRequest = std::optional<std::vector<std::string>>;

// Every field: what a load without a selection decodes.
FieldSelection select_all(const PcdLayout& layout);

// The fields named, and x, y and z. Where names repeat in the file, the last field of a name
// is the one kept, as it is the one a whole load returns under that name. Throws MissingField
// for a name the file does not have.
FieldSelection select_fields(const PcdLayout& layout, std::span<const std::string> names);

// select_fields for the names requested, select_all for none.
FieldSelection select_requested(const PcdLayout& layout, const FieldRequest& names);

bool keeps_all(const FieldSelection& selection);

// The positions in the layout's fields of the kept ones, in order.
std::vector<std::size_t> kept_indices(const FieldSelection& selection);

// What a decoder fills for `selection`: the kept fields back to back in the file's order, x, y
// and z found among them, for `points` points.
PcdLayout kept_layout(const PcdLayout& layout, const FieldSelection& selection, std::size_t points);

// Copies the kept fields of the whole point records in `records` into `out`, laid out as
// kept_layout gives them for as many points.
void gather_kept(std::span<const std::byte> records, const PcdLayout& layout, const FieldSelection& selection,
                 std::byte* out);

}  // namespace tessarel
