#pragma once
// LZF blocks written for the binary_compressed encoding: the stream format lzf_decoder.hpp
// reads and liblzf's lzf_decompress takes.

#include <cstddef>
#include <span>

namespace tessarel {

// The most bytes encoding `size` bytes can take: a control byte for each 32 input bytes when
// nothing repeats. A reference never takes more bytes than it stands for, so matches only
// bring the size down.
constexpr std::size_t lzf_encoded_bound(std::size_t size) noexcept { return size + size / 32 + (size % 32 != 0); }

// Encodes `in` as one LZF block into `out` and returns the bytes written, 0 for empty input.
// Precondition: `out` holds at least lzf_encoded_bound(in.size()) bytes; if it does not, nothing is
// written and 0 is returned. Input that does not shrink comes out as literal runs, still a valid
// block. Safe to call from several threads at once.
std::size_t encode_lzf(std::span<const std::byte> in, std::span<std::byte> out) noexcept;

}  // namespace tessarel
