#include "pcd/write/float_text.hpp"

#include <dragonbox/dragonbox.h>

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace tessarel {
namespace {

// "00" to "99": digits are written two at a time.
constexpr std::array<char, 200> digit_pairs = [] {
    std::array<char, 200> pairs{};
    for (int i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

constexpr std::array<std::uint64_t, 20> powers_of_ten = [] {
    std::array<std::uint64_t, 20> powers{};
    std::uint64_t power = 1;
    for (std::uint64_t& p : powers) {
        p = power;
        power *= 10;
    }
    return powers;
}();

// The number of decimal digits of `value` (1 or more), without a division: log2 gives log10
// to within one, which one comparison settles.
template <class UInt>
int decimal_digits(UInt value) noexcept {
    const int estimate = static_cast<int>((std::bit_width(value) * 1233) >> 12);
    return estimate + 1 - (value < powers_of_ten[static_cast<std::size_t>(estimate)]);
}

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
char* write_integral(char* out, std::uint64_t significand, int exponent) noexcept {
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
char* write_exponent(char* out, int exponent) noexcept {
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

template <class Float>
char* write_text(char* out, Float value) noexcept {
    using Format = FloatBits<Float>;
    using Bits = typename Format::Bits;
    constexpr int sign_shift = sizeof(Bits) * 8 - 1;
    constexpr Bits fraction_mask = (Bits{1} << Format::significand_bits) - 1;
    constexpr Bits all_ones_exponent = (Bits{1} << (sign_shift - Format::significand_bits)) - 1;

    const auto bits = std::bit_cast<Bits>(value);
    if (bits >> sign_shift) *out++ = '-';
    const Bits magnitude = bits & ~(Bits{1} << sign_shift);
    const Bits biased_exponent = magnitude >> Format::significand_bits;
    if (biased_exponent == all_ones_exponent) {
        std::memcpy(out, (magnitude & fraction_mask) ? "nan" : "inf", 3);
        return out + 3;
    }
    if (magnitude == 0) {
        *out = '0';
        return out + 1;
    }

    namespace policy = jkj::dragonbox::policy;
    const auto decimal = jkj::dragonbox::to_decimal(value, policy::sign::ignore);
    const int digits = decimal_digits(decimal.significand);
    // The value is 0.d1d2...dn · 10^point; a scientific text has exponent point - 1.
    const int point = digits + decimal.exponent;
    const int exponent_digits = (point - 1 >= 100 || point - 1 <= -100) ? 3 : 2;
    const int scientific_length = digits + (digits > 1) + 2 + exponent_digits;
    int fixed_length = 2 - point + digits;  // 0.00ddd
    if (decimal.exponent >= 0) {
        fixed_length = point;  // ddd00
    } else if (point > 0) {
        fixed_length = digits + 1;  // dd.ddd
    }

    if (fixed_length > scientific_length) {
        digits_ending_at(out + 1 + digits, decimal.significand);
        out[0] = out[1];
        out[1] = '.';
        return write_exponent(out + digits + (digits > 1), point - 1);
    }
    if (decimal.exponent > 0) {
        // Integral: digits and zeros are the exact value below 2^(significand_bits + 1); past it,
        // the text is the exact value, not the shortest digits padded with zeros.
        const int exponent = static_cast<int>(biased_exponent) - Format::exponent_bias - Format::significand_bits;
        if (exponent > 0) {
            const std::uint64_t significand = (magnitude & fraction_mask) | (Bits{1} << Format::significand_bits);
            return write_integral(out, significand, exponent);
        }
        digits_ending_at(out + digits, decimal.significand);
        std::memcpy(out + digits, "00000", 5);  // at most 5 zeros, or scientific is shorter
        return out + fixed_length;
    }
    if (decimal.exponent == 0) {
        return digits_ending_at(out + digits, decimal.significand) + digits;
    }
    if (point > 0) {
        digits_with_point_ending_at(out + fixed_length, decimal.significand, -decimal.exponent);
        return out + fixed_length;
    }
    std::memcpy(out, "0.000", 5);  // at most 3 zeros after the point, or scientific is shorter
    digits_ending_at(out + fixed_length, decimal.significand);
    return out + fixed_length;
}

}  // namespace

char* write_float_text(char* out, float value) noexcept { return write_text(out, value); }

char* write_float_text(char* out, double value) noexcept { return write_text(out, value); }

}  // namespace tessarel
