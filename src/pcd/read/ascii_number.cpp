#include "pcd/read/ascii_number.hpp"

#include <algorithm>

namespace tessarel::ascii_detail {
namespace {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// A whole number of at most 64 bits, as magnitude and sign.
struct WholeNumber {
    TokenStatus status;
    std::uint64_t magnitude = 0;
    bool negative = false;
};

// The digits of `token` in decimal or scientific notation, read exactly: the number is
// whole when its significant digits, shifted by the exponent, leave no fraction.
WholeNumber parse_whole_number(const char* first, const char* last) {
    WholeNumber number{TokenStatus::not_a_number};
    const char* p = first;
    number.negative = *p == '-';
    if (*p == '-') ++p;
    const char* const mantissa = p;
    while (p != last && is_digit(*p)) ++p;
    const char* const point = p;
    std::int64_t fraction_digits = 0;
    if (p != last && *p == '.') {
        ++p;
        while (p != last && is_digit(*p)) ++p;
        fraction_digits = p - point - 1;
    }
    const std::int64_t digits = (point - mantissa) + fraction_digits;
    if (digits == 0) return number;
    std::int64_t exponent = 0;
    if (p != last && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool negative_exponent = p != last && *p == '-';
        if (p != last && (*p == '-' || *p == '+')) ++p;
        if (p == last || !is_digit(*p)) return number;
        constexpr std::int64_t far = std::int64_t{1} << 40;  // beyond any token's digits
        for (; p != last && is_digit(*p); ++p) exponent = std::min(far, exponent * 10 + (*p - '0'));
        if (negative_exponent) exponent = -exponent;
    }
    if (p != last) return number;

    // The mantissa's digits, with the '.' left out, from the first non-zero to the last.
    const std::int64_t whole_digits = point - mantissa;
    const auto digit_at = [&](std::int64_t i) { return i < whole_digits ? mantissa[i] : point[1 + i - whole_digits]; };
    std::int64_t lead = 0;
    while (lead < digits && digit_at(lead) == '0') ++lead;
    number.status = TokenStatus::ok;
    if (lead == digits) return number;  // zero, whatever its exponent
    std::int64_t end = digits;
    // Bounded by `lead` although a digit there is not '0': text in memory may change meanwhile.
    while (end > lead + 1 && digit_at(end - 1) == '0') --end;
    const std::int64_t scale = exponent - fraction_digits + (digits - end);
    if (scale < 0) {
        number.status = TokenStatus::not_whole;
        return number;
    }
    // 20 digits reach past 2^64, the largest magnitude any integer type holds.
    if ((end - lead) + scale > 20) {
        number.status = TokenStatus::out_of_range;
        return number;
    }
    std::uint64_t magnitude = 0;
    bool overflow = false;
    for (std::int64_t i = lead; i < end; ++i) {
        overflow |= __builtin_mul_overflow(magnitude, 10u, &magnitude);
        overflow |= __builtin_add_overflow(magnitude, static_cast<std::uint64_t>(digit_at(i) - '0'), &magnitude);
    }
    for (std::int64_t i = 0; i < scale; ++i) overflow |= __builtin_mul_overflow(magnitude, 10u, &magnitude);
    if (overflow) number.status = TokenStatus::out_of_range;
    number.magnitude = magnitude;
    return number;
}

constexpr std::uint64_t min_int64_magnitude = std::uint64_t{1} << 63;

// The number as the 64-bit two's-complement value of its kind, if it lies in its range.
TokenStatus to_bits(const WholeNumber& number, bool is_signed, std::uint64_t& bits) {
    if (number.status != TokenStatus::ok) return number.status;
    if (number.negative) {
        if (number.magnitude > min_int64_magnitude) return TokenStatus::out_of_range;
        bits = ~number.magnitude + 1;
        return TokenStatus::ok;
    }
    if (is_signed && number.magnitude >= min_int64_magnitude) return TokenStatus::out_of_range;
    bits = number.magnitude;
    return TokenStatus::ok;
}

}  // namespace

TokenResult parse_integer_slowly(const char* first, const char* start, const char* last, bool is_signed,
                                 std::uint64_t& bits) {
    const char* const end = token_end(start, last);
    const TokenStatus status = to_bits(parse_whole_number(start, end), is_signed, bits);
    if (status == TokenStatus::ok) return {end, TokenStatus::ok};
    if (status == TokenStatus::not_a_number) {
        double value{};  // nan, inf: numbers, but not whole ones
        const auto result = fast_float::from_chars(start, end, value);
        if (result.ptr == end && result.ptr != start) return {first, TokenStatus::not_whole};
    }
    return {first, status};
}

}  // namespace tessarel::ascii_detail
