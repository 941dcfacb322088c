#pragma once
// The "ascii" data section: one token per value, point after point, lines ignored.

#include <cstddef>
#include <cstdint>
#include <istream>
#include <span>
#include <vector>

#include "pcd/pcd_header.hpp"
#include "pcd/byte_buffer.hpp"

namespace tessarel {

// How a slot's token is read and stored. The `any_*` kinds read a token in their letter's
// syntax but store nothing: their SIZE has no element type, and array assembly refuses them.
enum class SlotKind : std::uint8_t {
    f32, f64, i8, i16, i32, i64, u8, u16, u32, u64, any_float, any_signed, any_unsigned
};

// One scalar value of a point record.
struct ValueSlot {
    std::size_t offset;
    SlotKind kind;
    std::uint32_t field;    // index into the header's fields, for messages
    std::uint32_t element;  // index within a field with COUNT > 1
};

// The first `limit` slots in point-record order; fields whose TYPE letter is not F, I or U
// take no token.
std::vector<ValueSlot> build_value_slots(const std::vector<PcdField>& fields, std::uint64_t limit);

// Everything from the stream position to the end of the file, in one read.
ByteBuffer read_remaining_text(std::istream& in);

// Parses `text` into a new buffer of `buffer_size` bytes laid out as `header` says.
PointBuffer decode_ascii(std::span<const char> text, const PcdHeader& header, std::size_t buffer_size);

PointBuffer read_ascii_data(std::istream& in, const PcdHeader& header, std::size_t buffer_size);

}  // namespace tessarel
