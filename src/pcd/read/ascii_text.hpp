#pragma once
// The text of an ASCII data section, read in pieces that end between tokens, so that a
// token cut by a piece boundary is always read whole.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "pcd/io/input_source.hpp"

namespace tessarel {

// Every byte up to the space and every byte with the high bit set separates tokens.
constexpr bool is_separator(char c) noexcept { return static_cast<signed char>(c) <= ' '; }

// The end of the token that starts at `first`: the next separator, or `last`.
constexpr const char* token_end(const char* first, const char* last) noexcept {
    while (first != last && !is_separator(*first)) ++first;
    return first;
}

// Moves `p` past up to `tokens` tokens and the separators before them, to the end of the last,
// and returns how many it passed: fewer only when `end` came first. `p` starts between tokens.
// Eight bytes at a time, with no branch per token: where only some fields are read, the others
// are passed over this way.
inline std::uint64_t skip_tokens(const char*& p, const char* end, std::uint64_t tokens) noexcept {
    static_assert(std::endian::native == std::endian::little, "the first byte of a word is its lowest");
    constexpr std::uint64_t low7 = 0x7f7f7f7f7f7f7f7f;
    constexpr std::uint64_t high = 0x8080808080808080;
    constexpr std::uint64_t past_space = 0x5f5f5f5f5f5f5f5f;  // takes bytes from '!' on to the high bit
    std::uint64_t left = tokens;
    std::uint64_t before = 0;  // the high bit of the last byte's place if it was in a token
    while (left > 0 && end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        const std::uint64_t in_token = ((word & low7) + past_space) & ~word & high;
        std::uint64_t starts = in_token & ~((in_token << 8) | before);
        const auto count = static_cast<std::uint64_t>(std::popcount(starts));
        if (count >= left) {
            for (; left > 1; --left) starts &= starts - 1;
            p = token_end(p + std::countr_zero(starts) / 8, end);
            return tokens;
        }
        left -= count;
        before = in_token >> 56;
        p += 8;
    }
    // The token that the last word ended in was counted already.
    if (before) p = token_end(p, end);
    for (; left > 0; --left) {
        while (p != end && is_separator(*p)) ++p;
        if (p == end) break;
        p = token_end(p, end);
    }
    return tokens - left;
}

// Where one piece of text is read into, reused from piece to piece.
struct PieceStorage {
    std::unique_ptr<char[]> bytes;
    std::size_t capacity = 0;
};

class TextPieces {
public:
    // Reads the `size` bytes from the source's position on. Text in memory is handed out where
    // it lies, without a copy.
    TextPieces(InputSource& in, std::uint64_t size, std::size_t piece_bytes, std::size_t max_token);

    // The next piece of text, in `into`, where it stays until `into` is passed in again. Unless
    // it is the last, it ends with a separator, so every token in it is whole. Empty once the
    // text is used up. Runs in different storage may be used at the same time.
    std::span<const char> next(PieceStorage& into);
    // The same, in storage of its own.
    std::span<const char> next() { return next(own_); }

private:
    void grow(PieceStorage& piece) const;
    std::span<const char> next_read(PieceStorage& into);
    std::span<const char> next_in_place();
    [[noreturn]] void throw_long_token() const;

    InputSource& in_;
    std::uint64_t unread_;
    std::size_t max_token_;
    std::size_t max_piece_;
    std::size_t piece_capacity_;
    std::vector<char> carried_;  // the token cut at the end of the last piece
    PieceStorage own_;
    std::span<const char> in_place_;  // the text not yet handed out, when it lies in memory
};

}  // namespace tessarel
