#pragma once
// Decimal digits of unsigned integers, eight at a time in one 64-bit word, for the text of
// ASCII saves: a few multiplications and no branch on the number of digits, which in real
// data changes from one value to the next and would be mispredicted.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tessarel {

inline constexpr std::array<std::uint64_t, 20> powers_of_ten = [] {
    std::array<std::uint64_t, 20> powers{};
    std::uint64_t power = 1;
    for (std::uint64_t& p : powers) {
        p = power;
        power *= 10;
    }
    return powers;
}();

// The number of decimal digits of `value` (1 for 0): log2 gives log10 to within one, which one
// comparison settles. Setting the low bit changes no count and makes 0 count as 1.
template <class UInt>
int decimal_digits(UInt value) noexcept {
    value |= 1;
    const int estimate = static_cast<int>((std::bit_width(value) * 1233) >> 12);
    return estimate + 1 - (value < powers_of_ten[static_cast<std::size_t>(estimate)]);
}

// The eight digits of `value` < 10^8, leading zeros included, one a byte from 0 to 9, the first
// digit in the lowest byte. Each step splits every lane of the word in two at once: four
// digits a half, two a quarter, one a byte.
inline std::uint64_t eight_digits(std::uint32_t value) noexcept {
    const std::uint64_t halves = value / 10000 | std::uint64_t{value % 10000} << 32;
    const std::uint64_t hundreds = (halves * 10486 >> 20) & 0x0000007F'0000007F;  // x / 100 for x < 10^4
    const std::uint64_t quarters = (halves - hundreds * 100) << 16 | hundreds;
    const std::uint64_t tens = (quarters * 103 >> 10) & 0x000F000F'000F000F;  // x / 10 for x < 100
    return (quarters - tens * 10) << 8 | tens;
}

// Stores the eight bytes of `digits` (from eight_digits, shifted or not) as characters at
// `out`, first digit first. Bytes past the wanted digits are written too, as zeros: the caller
// either overwrites them or leaves them past the text's end.
inline void store_digits(char* out, std::uint64_t digits) noexcept {
    digits += 0x30303030'30303030;  // '0' in every byte
    if constexpr (std::endian::native == std::endian::big) digits = __builtin_bswap64(digits);
    std::memcpy(out, &digits, 8);
}

// The room write_decimal needs at `out`: it writes whole words of eight digits, so a text
// shorter than eight digits takes eight, and the longest takes its 20.
inline constexpr std::size_t decimal_room = 20;

// Writes `value` < 100 at `out` and returns the text's end: one digit or two, without a branch
// on which, since small counts (rings, labels) change from point to point between the two.
inline char* write_below_hundred(char* out, std::uint64_t value) noexcept {
    const auto small = static_cast<std::uint32_t>(value);
    const std::uint32_t tens = small * 103 >> 10;  // small / 10 for small < 100
    const bool two = small >= 10;
    out[0] = static_cast<char>('0' + (two ? tens : small));
    out[1] = static_cast<char>('0' + small - 10 * tens);  // past the end for one digit
    return out + 1 + two;
}

// Writes `value` in decimal at `out` and returns the text's end; bytes past the end may be
// written, within decimal_room.
inline char* write_decimal(char* out, std::uint64_t value) noexcept {
    constexpr std::uint64_t ten_to_8 = 100'000'000;
    if (value < 100) return write_below_hundred(out, value);
    if (value >= ten_to_8) {
        const std::uint64_t high = value / ten_to_8;
        out = high < 100 ? write_below_hundred(out, high) : write_decimal(out, high);
        store_digits(out, eight_digits(static_cast<std::uint32_t>(value % ten_to_8)));
        return out + 8;
    }
    // The leading zeros of the eight digits are the word's lowest bytes that are zero.
    const std::uint64_t word = eight_digits(static_cast<std::uint32_t>(value));
    const int leading = std::countr_zero(word) / 8;
    store_digits(out, word >> (8 * leading));
    return out + 8 - leading;
}

}  // namespace tessarel
