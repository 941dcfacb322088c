#pragma once
// The text of an ASCII data section, read in pieces that end between tokens, so that a
// token cut by a piece boundary is always read whole.

#include <cstddef>
#include <cstdint>
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
