#pragma once
// The record model that reading and writing share: each field's element type, count and
// offset in a point record, and the record's size. Built from a header when reading and from
// the arrays when writing; the one place where fields are laid out.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "pcd/format/element_type.hpp"

namespace tessarel {

struct FieldLayout {
    std::string name;
    ElementType type;
    std::size_t count;
    std::size_t offset = 0;  // of the field's first element inside a point record

    std::size_t element_bytes() const noexcept { return element_size(type); }
    std::size_t bytes() const noexcept { return element_bytes() * count; }
};

struct RecordLayout {
    std::vector<FieldLayout> fields;
    std::size_t point_step = 0;  // the bytes of one point record
};

// Where fields of these widths start when they lie back to back in order, and after the last
// the size of the record. Saturates at the int64 bounds, so that absurd widths cannot wrap
// into a plausible layout.
std::vector<std::int64_t> field_bounds(std::span<const std::int64_t> widths);

// `fields` laid back to back in order: their offsets and the record size set.
RecordLayout lay_out(std::vector<FieldLayout> fields);

}  // namespace tessarel
