#pragma once
// The checked layout of a cloud, built once from its header: its record layout, where x, y
// and z are, and how many bytes the cloud takes. Every check of the header happens here,
// before any data is read or any buffer is reserved, so the decoders and array assembly can
// rely on it without checking again.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pcd/format/element_type.hpp"
#include "pcd/format/encoding.hpp"
#include "pcd/format/limits.hpp"
#include "pcd/format/pcd_header.hpp"
#include "pcd/format/record_layout.hpp"

namespace tessarel {

// A field name as messages show it: control bytes as \xNN, since a name may hold any byte
// but whitespace and a NUL would end the message where it stands.
inline std::string printable_name(std::string_view name) {
    constexpr std::string_view hex = "0123456789abcdef";
    std::string text;
    text.reserve(name.size());
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= ' ' && byte != 0x7f) {
            text += c;
            continue;
        }
        text += {'\\', 'x', hex[byte >> 4], hex[byte & 0xf]};
    }
    return text;
}

struct PcdLayout : RecordLayout {
    std::size_t points = 0;
    std::size_t buffer_size = 0;       // points × point_step
    std::array<std::size_t, 3> xyz{};  // positions in `fields` of x, y and z, each with COUNT ≥ 1
    Encoding encoding = Encoding::binary;
};

// Where one field's values lie in a decoded buffer: the first element of point i at
// base + i × stride, the elements of a point one element size apart. A padding field that
// has no column in a compressed block has no place at all.
struct FieldPlacement {
    std::size_t base = 0;
    std::size_t stride = 0;
    bool present = true;
};

// Point records: each field at its offset in every record.
std::vector<FieldPlacement> record_placements(const PcdLayout& layout);

// The bytes of a point record as the header declares it, before any of it is checked: the
// sum of every field's SIZE × COUNT, held within the int64 range.
std::int64_t declared_record_bytes(const PcdHeader& header);

// Checks `header` and returns its layout, whose fields lie back to back and fill the record
// exactly, so a decoder that writes every field writes every byte. Errors, in the order
// they are looked for: no x, y or z field; a negative SIZE or COUNT; negative POINTS; a
// cloud or a record beyond `max_cloud_bytes`; an unknown DATA value; an unsupported
// TYPE/SIZE pair; a coordinate with COUNT 0.
PcdLayout make_layout(const PcdHeader& header);

}  // namespace tessarel
