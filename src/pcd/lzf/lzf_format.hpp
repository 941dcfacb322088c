#pragma once
// The LZF block format, for both directions. A block is a sequence of instructions, each led
// by a control byte c:
// - c < 32: a literal run, the next c + 1 bytes of the block as they are.
// - otherwise a back reference: (c >> 5) + 2 bytes copied from earlier output, the length
//   code 7 taking one more byte that adds to the length (3 to 264 bytes in all), then a byte
//   that with c's low 5 bits gives the distance back minus one (1 to 8192).
// A reference may overlap the bytes it writes: at distance 1 it repeats one byte.

#include <bit>
#include <cstddef>

namespace tessarel {

// Both directions load and store multi-byte words in host order.
static_assert(std::endian::native == std::endian::little, "the LZF codecs work on little-endian machines only");

inline constexpr std::size_t lzf_literal_codes = 32;  // control bytes below this lead literal runs
inline constexpr std::size_t lzf_longest_literal = 32;
inline constexpr std::size_t lzf_long_length_code = 7;
inline constexpr std::size_t lzf_shortest_reference = 3;
inline constexpr std::size_t lzf_longest_reference = 264;
inline constexpr std::size_t lzf_farthest_reference = 8192;

// A 3-byte reference copies at most the longest run, which bounds how much a block can expand.
inline constexpr std::size_t lzf_max_expansion = lzf_longest_reference / lzf_shortest_reference;

}  // namespace tessarel
