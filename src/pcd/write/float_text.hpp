#pragma once
// The shortest decimal text that reads back to the same float or double, laid out as
// std::to_chars(first, last, value) lays it out, at about a third of its cost. Defined here, so
// that it inlines into the loop of an ASCII save.

#include <dragonbox/dragonbox.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "pcd/write/digit_text.hpp"

namespace tessarel {

// The longest text write_float_text gives: -2.2250738585072014e-308. It is also all the room the
// writer needs, past the end of shorter texts included.
inline constexpr std::size_t longest_float_text = 24;
// The longest it gives of a float32: -1.17549435e-38.
inline constexpr std::size_t longest_float32_text = 15;

namespace float_text_detail {

// "00" to "99": digits are written two at a time.
inline constexpr std::array<char, 200> digit_pairs = [] {
    std::array<char, 200> pairs{};
    for (int i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

// Writes the decimal digits of `value` so that they end at `end`; returns where they start.
template <class UInt>
char* digits_ending_at(char* end, UInt value) noexcept {
    while (value >= 100) {
        end -= 2;
        std::memcpy(end, &digit_pairs[static_cast<std::size_t>(value % 100) * 2], 2);
        value /= 100;
    }
    if (value >= 10) {
        end -= 2;
        std::memcpy(end, &digit_pairs[static_cast<std::size_t>(value) * 2], 2);
        return end;
    }
    *--end = static_cast<char>('0' + value);
    return end;
}

// Writes the decimal digits of `value` so that they end at `end`, with a point before the last
// `fraction` of them; returns where they start. The point goes in as the digits are written,
// since moving digits afterwards costs a call to memmove.
template <class UInt>
char* digits_with_point_ending_at(char* end, UInt value, int fraction) noexcept {
    for (; fraction >= 2; fraction -= 2) {
        end -= 2;
        std::memcpy(end, &digit_pairs[static_cast<std::size_t>(value % 100) * 2], 2);
        value /= 100;
    }
    if (fraction == 1) {
        *--end = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    *--end = '.';
    return digits_ending_at(end, value);
}

// Writes the integral value significand·2^exponent, exponent > 0, exactly. A fixed text is never
// longer than 22 digits, so the value is below 10^22 and the exponent at most 21 for a double.
inline char* write_integral(char* out, std::uint64_t significand, int exponent) noexcept {
    char digits[24];
    char* const end = digits + sizeof digits;
    char* first = nullptr;
    if (significand >> (64 - exponent) == 0) {
        first = digits_ending_at(end, significand << exponent);
    } else {
        // Past 64 bits: split the significand at 10^9, so that each part times 2^exponent fits.
        constexpr std::uint64_t billion = 1'000'000'000;
        std::uint64_t high = (significand / billion) << exponent;
        std::uint64_t low = (significand % billion) << exponent;
        high += low / billion;
        low %= billion;
        first = digits_ending_at(end, low);
        while (first > end - 9) *--first = '0';
        first = digits_ending_at(first, high);
    }
    const auto length = static_cast<std::size_t>(end - first);
    std::memcpy(out, first, length);
    return out + length;
}

// Writes e, the sign and at least two digits of a scientific exponent.
inline char* write_exponent(char* out, int exponent) noexcept {
    *out++ = 'e';
    *out++ = exponent < 0 ? '-' : '+';
    const auto magnitude = static_cast<unsigned>(exponent < 0 ? -exponent : exponent);
    if (magnitude >= 100) {
        *out++ = static_cast<char>('0' + magnitude / 100);
    }
    std::memcpy(out, &digit_pairs[(magnitude % 100) * 2], 2);
    return out + 2;
}

template <class Float>
struct FloatBits;
template <>
struct FloatBits<float> {
    using Bits = std::uint32_t;
    static constexpr int significand_bits = 23;
    static constexpr int exponent_bias = 127;
};
template <>
struct FloatBits<double> {
    using Bits = std::uint64_t;
    static constexpr int significand_bits = 52;
    static constexpr int exponent_bias = 1023;
};

// The lengths of the two notations of the digits d1...dn · 10^exponent: fixed or scientific,
// the shorter is written, fixed on a tie.
struct Notation {
    int point;  // the value is 0.d1d2...dn · 10^point; a scientific text has exponent point - 1
    int fixed_length;
    bool scientific;
};

inline Notation notation_of(int digits, int exponent) noexcept {
    const int point = digits + exponent;
    const int exponent_digits = (point - 1 >= 100 || point - 1 <= -100) ? 3 : 2;
    const int scientific_length = digits + (digits > 1) + 2 + exponent_digits;
    int fixed_length = 2 - point + digits;  // 0.00ddd
    if (exponent >= 0) {
        fixed_length = point;  // ddd00
    } else if (point > 0) {
        fixed_length = digits + 1;  // dd.ddd
    }
    return {point, fixed_length, fixed_length > scientific_length};
}

// Decimal digits and their exponent: the value is significand·10^exponent.
struct Decimal {
    std::uint32_t significand;
    int exponent;
};

// For each biased exponent of a float, the most decimals k, up to 10, for which the float's
// spacing 2^(exponent-150) is below 10^-k, so that the float's rounding interval holds at most
// one number of k decimals; -1 where there is no such k. The float times 10^(k+1) fits 64 bits.
inline constexpr std::array<std::int8_t, 256> finest_decimals = [] {
    std::array<std::int8_t, 256> decimals{};
    for (int biased = 0; biased < 256; ++biased) {
        const int shift = 150 - biased;
        int k = -1;
        for (int next = 0; next <= 10 && shift > 0 && shift < 64; ++next) {
            if (powers_of_ten[static_cast<std::size_t>(next)] < std::uint64_t{1} << shift) k = next;
        }
        decimals[static_cast<std::size_t>(biased)] = static_cast<std::int8_t>(shift >= 40 ? -1 : k);
    }
    return decimals;
}();

// The number of k decimals nearest a float s·2^-shift, and whether it reads back to the float:
// the float times 10^k is n·2^-shift with n = s·10^k, and the float's rounding interval, so
// scaled, reaches 10^k/2 to each side (10^k/4 below a power of two). Integers tell it exactly.
struct ScaledNearest {
    std::uint64_t nearest;
    bool reads_back;
    bool tie;  // the nearest, or reading back, would take the even rule: left to Dragonbox
};

inline ScaledNearest nearest_at(std::uint64_t significand, int shift, bool narrower_below, int k) noexcept {
    const std::uint64_t ten_to_k = powers_of_ten[static_cast<std::size_t>(k)];
    const std::uint64_t scaled = significand * ten_to_k;
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    const std::uint64_t nearest = (scaled + half) >> shift;
    const auto difference = static_cast<std::int64_t>((nearest << shift) - scaled);
    const std::uint64_t below = static_cast<std::uint64_t>(difference) >> 63;
    const auto size = static_cast<std::uint64_t>(difference < 0 ? -difference : difference);
    const std::uint64_t distance = size << (1 + (below & std::uint64_t{narrower_below}));
    const bool tie = distance == ten_to_k || (scaled & ((half << 1) - 1)) == half;
    return {nearest, distance < ten_to_k, tie};
}

// The shortest digits of most floats of real clouds, without Dragonbox's search. At the finest
// scale 10^k whose steps are wider than the float's rounding interval, the interval holds at
// most one number of k decimals: the nearest. When it reads back, it is the shortest text with
// its trailing zeros, since any text of fewer decimals is a number of k decimals too. When it
// does not, the shortest texts have k + 1 decimals, all as many digits (the interval holds no
// power of ten, which would have been a number of k decimals), and the closest is the nearest
// number of k + 1 decimals, if it reads back. None, for Dragonbox to decide, otherwise.
inline std::optional<Decimal> nearest_decimal(std::uint32_t magnitude) noexcept {
    const auto biased = magnitude >> 23;
    const int k = finest_decimals[biased];
    if (k < 0) return std::nullopt;  // subnormals among them
    const int shift = 150 - static_cast<int>(biased);
    const std::uint64_t fraction = magnitude & 0x7FFFFF;
    const std::uint64_t significand = fraction | 0x800000;
    const bool narrower_below = fraction == 0 && biased > 1;
    const ScaledNearest coarse = nearest_at(significand, shift, narrower_below, k);
    if (coarse.tie) return std::nullopt;
    if (coarse.reads_back) return Decimal{static_cast<std::uint32_t>(coarse.nearest), -k};
    const ScaledNearest fine = nearest_at(significand, shift, narrower_below, k + 1);
    if (fine.tie || !fine.reads_back) return std::nullopt;
    return Decimal{static_cast<std::uint32_t>(fine.nearest), -k - 1};
}

// A float's shortest digits as write_finite_text lays them out: the first, and the others in a
// word of eight, one a byte, first lowest, trailing zeros left as zero bytes; the value is
// d1d2...dn · 10^exponent.
struct FloatDigits {
    char first;
    std::uint64_t rest;
    int digits;
    int exponent;
};

// From the nearest number of k decimals: below 2^24·10, so of at most nine digits, the first
// of nine a 1. The word of the last eight digits straight away, its zero bytes at either end
// the leading and trailing zeros.
inline FloatDigits digits_of_nearest(Decimal decimal) noexcept {
    constexpr std::uint32_t ten_to_8 = 100'000'000;
    if (decimal.significand >= ten_to_8) {
        const std::uint64_t rest = eight_digits(decimal.significand - ten_to_8);
        const int trailing = std::countl_zero(rest) / 8;
        return {'1', rest, 9 - trailing, decimal.exponent + trailing};
    }
    const std::uint64_t word = eight_digits(decimal.significand);  // nonzero: the number is at least 1
    const int leading = std::countr_zero(word) / 8;
    const int trailing = std::countl_zero(word) / 8;
    const std::uint64_t from_first = word >> (8 * leading);
    return {static_cast<char>('0' + (from_first & 0xFF)), from_first >> 8, 8 - leading - trailing,
            decimal.exponent + trailing};
}

// From Dragonbox's digits, up to nine, aligned first to nine so that the first digit stands apart.
// Kept out of the loop of a save, which the common case inlines without it.
[[gnu::noinline]] inline FloatDigits digits_of_dragonbox(float value) noexcept {
    namespace policy = jkj::dragonbox::policy;
    const auto decimal = jkj::dragonbox::to_decimal(value, policy::sign::ignore, policy::trailing_zero::ignore);
    const int given_digits = decimal_digits(decimal.significand);
    const auto aligned = static_cast<std::uint32_t>(decimal.significand * powers_of_ten[9 - given_digits]);
    const std::uint64_t rest = eight_digits(aligned % 100'000'000);
    // The trailing zeros left in the significand are the highest bytes of `rest` that are zero.
    const int digits = 9 - std::countl_zero(rest) / 8;
    return {static_cast<char>('0' + aligned / 100'000'000), rest, digits, decimal.exponent + given_digits - digits};
}

// The text of a finite nonzero float, from its shortest digits laid out at a fixed width, so
// that every layout is a few stores whatever the number of digits. Inlined where it is used,
// since a call a value costs as much as a fifth of the value's text.
[[gnu::always_inline]] inline char* write_finite_text(char* out, float value, std::uint32_t magnitude) noexcept {
    const std::optional<Decimal> nearest = nearest_decimal(magnitude);
    const FloatDigits shortest = nearest ? digits_of_nearest(*nearest) : digits_of_dragonbox(value);
    const char first = shortest.first;
    const std::uint64_t rest = shortest.rest;
    const int digits = shortest.digits;
    const Notation notation = notation_of(digits, shortest.exponent);

    if (notation.scientific) {
        out[0] = first;
        out[1] = '.';
        store_digits(out + 2, rest);
        return write_exponent(out + digits + (digits > 1), notation.point - 1);
    }
    if (notation.point >= digits) {
        // Integral: digits and zeros are the exact value below 2^24; past it, the text is the
        // exact value, not the shortest digits padded with zeros.
        const int exponent = static_cast<int>(magnitude >> 23) - 127 - 23;
        if (exponent > 0) return write_integral(out, (magnitude & 0x7FFFFF) | 0x800000, exponent);
        out[0] = first;
        store_digits(out + 1, rest);  // below 2^24, at most eight digits: zeros follow them
        return out + notation.point;
    }
    if (notation.point > 0) {
        out[0] = first;
        store_digits(out + 1, rest);
        out[notation.point] = '.';
        store_digits(out + notation.point + 1, rest >> (8 * (notation.point - 1)));
        return out + digits + 1;
    }
    std::memcpy(out, "0.000", 5);  // at most 3 zeros after the point, or scientific is shorter
    char* const start = out + 2 - notation.point;
    start[0] = first;
    store_digits(start + 1, rest);
    return out + notation.fixed_length;
}

inline char* write_finite_text(char* out, double value, std::uint64_t magnitude) noexcept {
    using Format = FloatBits<double>;
    namespace policy = jkj::dragonbox::policy;
    const auto decimal = jkj::dragonbox::to_decimal(value, policy::sign::ignore);
    const int digits = decimal_digits(decimal.significand);
    const Notation notation = notation_of(digits, decimal.exponent);

    if (notation.scientific) {
        digits_ending_at(out + 1 + digits, decimal.significand);
        out[0] = out[1];
        out[1] = '.';
        return write_exponent(out + digits + (digits > 1), notation.point - 1);
    }
    if (decimal.exponent > 0) {
        // Integral: as for a float, below 2^53.
        constexpr std::uint64_t fraction_mask = (std::uint64_t{1} << Format::significand_bits) - 1;
        const int exponent =
            static_cast<int>(magnitude >> Format::significand_bits) - Format::exponent_bias - Format::significand_bits;
        if (exponent > 0) {
            const std::uint64_t significand = (magnitude & fraction_mask) | (fraction_mask + 1);
            return write_integral(out, significand, exponent);
        }
        digits_ending_at(out + digits, decimal.significand);
        std::memcpy(out + digits, "00000", 5);  // at most 5 zeros, or scientific is shorter
        return out + notation.fixed_length;
    }
    if (decimal.exponent == 0) {
        return digits_ending_at(out + digits, decimal.significand) + digits;
    }
    if (notation.point > 0) {
        digits_with_point_ending_at(out + notation.fixed_length, decimal.significand, -decimal.exponent);
        return out + notation.fixed_length;
    }
    std::memcpy(out, "0.000", 5);
    digits_ending_at(out + notation.fixed_length, decimal.significand);
    return out + notation.fixed_length;
}

}  // namespace float_text_detail

// Writes the text of `value` at `out`, which has room for longest_float_text characters, and
// returns its end; bytes past the end may be written. The digits are the fewest that read back to the
// same bits, the closest to the value when several are as few. They are written in fixed
// notation (123.5, 0.001) or scientific (1.5e-07, 1e+300), whichever is shorter, fixed on a tie;
// an integral value in fixed notation is written exactly (123456790528, not 123456790000). Then
// -0, inf, -inf, and nan or -nan by the sign bit.
template <class Float>
[[gnu::always_inline]] inline char* write_float_text(char* out, Float value) noexcept {
    using Format = float_text_detail::FloatBits<Float>;
    using Bits = typename Format::Bits;
    constexpr int sign_shift = sizeof(Bits) * 8 - 1;
    constexpr Bits fraction_mask = (Bits{1} << Format::significand_bits) - 1;
    constexpr Bits all_ones_exponent = (Bits{1} << (sign_shift - Format::significand_bits)) - 1;

    const auto bits = std::bit_cast<Bits>(value);
    *out = '-';
    out += bits >> sign_shift;
    const Bits magnitude = bits & ~(Bits{1} << sign_shift);
    if (magnitude >> Format::significand_bits == all_ones_exponent) {
        std::memcpy(out, (magnitude & fraction_mask) ? "nan" : "inf", 3);
        return out + 3;
    }
    if (magnitude == 0) {
        *out = '0';
        return out + 1;
    }
    return float_text_detail::write_finite_text(out, value, magnitude);
}

}  // namespace tessarel
