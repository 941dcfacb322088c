#pragma once
// One ASCII token read as a value of a field's element type. A value is always a whole
// token: a number that stops short of the token's end is no number at all.

// The token loops are flattened ([[gnu::flatten]]): GCC then inlines the parsers and fast_float
// into them, at every depth, and clang only the calls the loop makes itself. For clang (the
// wheels of make dist), the functions between the loop and fast_float's digits are inlined
// wherever they are called, so that both compilers build the same loop: an ascii load took
// 1.55 times as long without.
#if defined(__clang__)
#define TESSAREL_INLINE_PARSERS_BEGIN \
    _Pragma("clang attribute push(__attribute__((always_inline)), apply_to = function)")
#define TESSAREL_INLINE_PARSERS_END _Pragma("clang attribute pop")
#else
#define TESSAREL_INLINE_PARSERS_BEGIN
#define TESSAREL_INLINE_PARSERS_END
#endif

// What fast_float includes, declared first, so that only fast_float's own functions are marked.
#include <algorithm>
#include <cassert>
#include <cctype>
#include <cfloat>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <system_error>
#include <type_traits>

TESSAREL_INLINE_PARSERS_BEGIN
#include <fast_float/fast_float.h>
TESSAREL_INLINE_PARSERS_END

#include "pcd/format/element_type.hpp"
#include "pcd/read/ascii_text.hpp"

namespace tessarel {

enum class TokenStatus : std::uint8_t { ok, not_a_number, not_whole, out_of_range };

struct TokenResult {
    const char* next;  // on success, the end of the token
    TokenStatus status;
};

namespace ascii_detail {

TESSAREL_INLINE_PARSERS_BEGIN
inline bool ends_token(const char* at, const char* last) noexcept { return at == last || is_separator(*at); }

// Past a leading '+', which fast_float does not take; null when nothing but a sign follows.
inline const char* skip_plus(const char* first, const char* last) noexcept {
    if (*first != '+') return first;
    ++first;
    const bool unsigned_rest = first != last && !is_separator(*first) && *first != '-' && *first != '+';
    return unsigned_rest ? first : nullptr;
}

template <class Value>
void store(std::byte* into, Value value) noexcept {
    if (into) std::memcpy(into, &value, sizeof value);
}

template <class Float>
TokenResult parse_float(const char* first, const char* last, std::byte* into) {
    const char* const start = skip_plus(first, last);
    if (!start) return {first, TokenStatus::not_a_number};
    Float value{};  // set by fast_float on success, which GCC cannot always see
    // Overflow and underflow give the signed infinity or zero, which is what the text says.
    const auto result = fast_float::from_chars(start, last, value);
    if (result.ptr == start || !ends_token(result.ptr, last)) return {first, TokenStatus::not_a_number};
    store(into, value);
    return {result.ptr, TokenStatus::ok};
}

TESSAREL_INLINE_PARSERS_END

// Tokens that are no plain integer: whole numbers in other notations, or what is wrong. The
// value is the 64-bit two's complement of the number.
TokenResult parse_integer_slowly(const char* first, const char* start, const char* last, bool is_signed,
                                 std::uint64_t& bits);

TESSAREL_INLINE_PARSERS_BEGIN

// The common case, a plain decimal integer, takes fast_float's integer path.
template <class Stored, class Wide>
TokenResult parse_integer(const char* first, const char* last, std::byte* into) {
    const char* const start = skip_plus(first, last);
    if (!start) return {first, TokenStatus::not_a_number};
    Wide value{};
    const auto result = fast_float::from_chars(start, last, value);
    if (result.ec == std::errc{} && ends_token(result.ptr, last)) {
        store(into, static_cast<Stored>(value));
        return {result.ptr, TokenStatus::ok};
    }
    std::uint64_t bits = 0;
    const TokenResult slow = parse_integer_slowly(first, start, last, std::is_signed_v<Wide>, bits);
    if (slow.status == TokenStatus::ok) store(into, static_cast<Stored>(static_cast<Wide>(bits)));
    return slow;
}

TESSAREL_INLINE_PARSERS_END
}  // namespace ascii_detail

// Reads the token that starts at `first` (not a separator) and ends at the next separator
// or at `last`, and stores it at `into` (unless null) as `type`, little-endian.
//
// Floating types take fast_float's syntax and rounding, straight from the text to the
// nearest value. Integer types take decimal integers, and also decimal or scientific
// notation whose value is whole (`4.2108e+06`), exactly, at 64 bits: −2^63 to 2^63 − 1 for
// I, −2^63 to 2^64 − 1 for U, where a negative value is stored in two's complement. The
// 64-bit value is then cut to the type's width: 300 in U 1 stores 44. Every type accepts a
// leading '+'.
TESSAREL_INLINE_PARSERS_BEGIN
inline TokenResult parse_value(ElementType type, const char* first, const char* last, std::byte* into) {
    return visit_element_type(type, [&](auto zero) {
        using Value = decltype(zero);
        if constexpr (std::is_floating_point_v<Value>) {
            return ascii_detail::parse_float<Value>(first, last, into);
        } else if constexpr (std::is_signed_v<Value>) {
            return ascii_detail::parse_integer<Value, std::int64_t>(first, last, into);
        } else {
            return ascii_detail::parse_integer<Value, std::uint64_t>(first, last, into);
        }
    });
}

TESSAREL_INLINE_PARSERS_END

}  // namespace tessarel
