#pragma once
// LZF blocks decoded without holding them whole: the block read in pieces, and its output
// decoded through a window that keeps the 8 KiB a reference can reach back, each piece of it
// handed out before the window moves on. Same results and failures as decode_lzf into an
// output of the same size.

#include <cstddef>
#include <functional>
#include <span>

#include "pcd/lzf/lzf_decoder.hpp"

namespace tessarel {

// How a block passes through: `input` bytes are read at a time, and `output` bytes decoded
// between two hand-outs.
struct LzfPieces {
    std::size_t input;
    std::size_t output;
};

// Output pieces are never smaller than this: after the last full instruction of a block, the
// few bytes left can still decode to this many.
inline constexpr std::size_t lzf_least_output_piece = 16 * lzf_longest_reference;

// For loads: an output piece that stays in a core's cache, input pieces that cost few reads.
inline constexpr LzfPieces lzf_load_pieces{std::size_t{1} << 20, std::size_t{128} << 10};

// Fills `into` with the block's next bytes.
using LzfRead = std::function<void(std::span<std::byte> into)>;
// Takes the decoded bytes from `position` of the output on; the window reuses them after.
using LzfTake = std::function<void(std::size_t position, std::span<const std::byte> bytes)>;

// Decodes the block of `in_size` bytes that `read` hands out, as decode_lzf does into an
// output of `out_size` bytes, and hands the result's `decoded` bytes to `take`, in order.
LzfDecodeResult decode_lzf_in_pieces(std::size_t in_size, const LzfRead& read, std::size_t out_size,
                                     const LzfTake& take, LzfPieces pieces = lzf_load_pieces);

// The same for a block that lies in memory, read where it lies.
LzfDecodeResult decode_lzf_in_pieces(std::span<const std::byte> in, std::size_t out_size, const LzfTake& take,
                                     std::size_t output_piece = lzf_load_pieces.output);

}  // namespace tessarel
