#pragma once
// One ASCII token read as a value of a field's element type. A value is always a whole
// token: a number that stops short of the token's end is no number at all.

#include <cstddef>
#include <cstdint>

#include "pcd/element_type.hpp"

namespace tessarel {

enum class Outcome : std::uint8_t { ok, not_a_number, not_whole, out_of_range };

struct Parsed {
    const char* next;  // on success, the end of the token
    Outcome outcome;
};

// Reads the token that starts at `first` (not a separator) and ends at the next separator
// or at `last`, and stores it at `into` (unless null) as `type`, little-endian.
//
// Floating types take fast_float's syntax and rounding, straight from the text to the
// nearest value. Integer types take decimal integers, and also decimal or scientific
// notation whose value is whole (`4.2108e+06`), exactly, at 64 bits: −2^63 to 2^63 − 1 for
// I, −2^63 to 2^64 − 1 for U, where a negative value is stored in two's complement. The
// 64-bit value is then cut to the type's width: 300 in U 1 stores 44. Every type accepts a
// leading '+'.
Parsed parse_value(ElementType type, const char* first, const char* last, std::byte* into);

}  // namespace tessarel
