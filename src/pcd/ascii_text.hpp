#pragma once
// The text of an ASCII data section, read in chunks that end between tokens, so that a
// token cut by a chunk boundary is always read whole.

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <span>

namespace tessarel {

// Every byte up to the space and every byte with the high bit set separates tokens.
constexpr bool is_separator(char c) noexcept { return static_cast<signed char>(c) <= ' '; }

// The end of the token that starts at `first`: the next separator, or `last`.
constexpr const char* token_end(const char* first, const char* last) noexcept {
    while (first != last && !is_separator(*first)) ++first;
    return first;
}

class TextChunks {
public:
    // Reads the `size` bytes from the stream position on.
    TextChunks(std::istream& in, std::uint64_t size, std::size_t chunk_bytes, std::size_t max_token);

    // The next run of text. Unless it is the last, it ends with a separator, so every token
    // in it is whole. Empty once the text is used up.
    std::span<const char> next();

private:
    void grow();

    std::istream& in_;
    std::uint64_t unread_;
    std::size_t max_token_;
    std::size_t capacity_;
    std::unique_ptr<char[]> buffer_;
    std::size_t filled_ = 0;    // bytes of the buffer that hold text
    std::size_t consumed_ = 0;  // bytes handed out; the rest is a token cut by the last read
};

}  // namespace tessarel
