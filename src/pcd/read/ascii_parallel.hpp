#pragma once
// A large ASCII text parsed on several threads: how many take part, and the order that makes
// their outcome that of one thread. Each takes the next piece of text in turn, counts its
// tokens, and parses it once the pieces before have said where its values start.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <span>

#include "pcd/parallel/cpu_share.hpp"
#include "pcd/read/ascii_text.hpp"

namespace tessarel {

// Parses the first `values` tokens of `piece` into the cloud, the first of them value `first`
// of the cloud, counted over every point's fields. Returns the error to report, or null when
// every value was read.
using ParsePiece =
    std::function<std::exception_ptr(std::span<const char> piece, std::uint64_t first, std::uint64_t values)>;

// The threads that parse a text of `text_bytes`, read `piece_bytes` at a time, on `share`.
int ascii_threads(CpuShare share, std::uint64_t text_bytes, std::size_t piece_bytes);

// Parses `text` up to its `expected`th value on `threads` threads, and returns how many values
// it held (fewer than expected when it ended early). Throws the first fault in the text, as
// reading it on one thread would.
std::uint64_t parse_in_parallel(TextPieces& text, std::uint64_t expected, int threads, CpuShare share,
                                const ParsePiece& parse);

}  // namespace tessarel
