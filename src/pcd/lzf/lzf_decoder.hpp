#pragma once
// LZF blocks decoded with wide fixed-size moves. Same stream format, results and failures as
// liblzf's lzf_decompress, at a fraction of its instructions per byte.

#include <cstddef>
#include <span>
#include <system_error>

#include "pcd/lzf/lzf_format.hpp"

namespace tessarel {

// What decoding a block did, in the manner of std::from_chars_result.
// - Success: `ec` is std::errc{}, `consumed` is the whole input and `decoded` the bytes the
//   block holds, which may be fewer than the output has room for. An empty block holds none.
// - Failure: `ec` is what liblzf sets errno to: argument_list_too_long (E2BIG) when the next
//   instruction does not fit the output, invalid_argument (EINVAL) when it is cut off by the
//   end of the input or refers to bytes before the start of the output. `consumed` is where
//   that instruction starts and `decoded` what the instructions before it wrote.
// Output bytes past `decoded` are unspecified: wide moves may have written there.
struct LzfDecodeResult {
    std::size_t consumed;
    std::size_t decoded;
    std::errc ec;
};

// Decodes the LZF block `in` into `out`, writing nothing outside it.
LzfDecodeResult decode_lzf(std::span<const std::byte> in, std::span<std::byte> out) noexcept;

}  // namespace tessarel
