#include "pcd/ascii_text.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "pcd/input_stream.hpp"

namespace tessarel {

TextChunks::TextChunks(std::istream& in, std::uint64_t size, std::size_t chunk_bytes, std::size_t max_token)
    : in_(in),
      unread_(size),
      max_token_(max_token),
      capacity_(static_cast<std::size_t>(std::min<std::uint64_t>(std::max<std::size_t>(chunk_bytes, 1), size))),
      buffer_(std::make_unique_for_overwrite<char[]>(capacity_)) {}

std::span<const char> TextChunks::next() {
    // The token cut at the end of the last run moves to the front.
    const std::size_t carried = filled_ - consumed_;
    std::memmove(buffer_.get(), buffer_.get() + consumed_, carried);
    filled_ = carried;
    while (unread_ > 0) {
        if (filled_ == capacity_) grow();  // one token fills the whole buffer
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(capacity_ - filled_, unread_));
        read_exactly(in_, buffer_.get() + filled_, wanted);
        unread_ -= wanted;
        filled_ += wanted;
        if (unread_ == 0) break;
        std::size_t end = filled_;
        while (end > 0 && !is_separator(buffer_[end - 1])) --end;
        if (end > 0) {
            consumed_ = end;
            return {buffer_.get(), end};
        }
    }
    consumed_ = filled_;
    return {buffer_.get(), filled_};
}

void TextChunks::grow() {
    if (capacity_ >= max_token_) {
        throw std::runtime_error("ASCII PCD data holds a token longer than " + std::to_string(max_token_) + " bytes");
    }
    const std::size_t capacity = std::min(capacity_ * 2, max_token_);
    auto buffer = std::make_unique_for_overwrite<char[]>(capacity);
    std::memcpy(buffer.get(), buffer_.get(), filled_);
    buffer_ = std::move(buffer);
    capacity_ = capacity;
}

}  // namespace tessarel
