#include "pcd/read/ascii_text.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace tessarel {
namespace {

void reserve(PieceStorage& piece, std::size_t capacity) {
    if (piece.capacity >= capacity) return;
    piece.bytes = std::make_unique_for_overwrite<char[]>(capacity);
    piece.capacity = capacity;
}

bool holds_separator(std::span<const char> piece) { return std::any_of(piece.begin(), piece.end(), is_separator); }

}  // namespace

// A piece holds at most the longest token and the separator after it, so no token longer than
// that fits in a piece, wherever it stands, and a piece filled without a separator is one.
TextPieces::TextPieces(InputSource& in, std::uint64_t size, std::size_t piece_bytes, std::size_t max_token)
    : in_(in),
      unread_(size),
      max_token_(max_token),
      max_piece_(max_token + 1),
      piece_capacity_(static_cast<std::size_t>(
          std::min<std::uint64_t>(std::clamp<std::size_t>(piece_bytes, 1, max_piece_), size))) {
    if (const auto text = in.view(size)) {
        in_place_ = {reinterpret_cast<const char*>(text->data()), text->size()};
        unread_ = 0;
    }
}

std::span<const char> TextPieces::next(PieceStorage& into) {
    const std::span<const char> piece = in_place_.data() ? next_in_place() : next_read(into);
    // The last piece ends with the text, not with a separator: it is one token too long only
    // when it is all one token.
    if (piece.size() > max_token_ && !holds_separator(piece)) throw_long_token();
    return piece;
}

std::span<const char> TextPieces::next_read(PieceStorage& into) {
    // The token cut at the end of the last piece comes first.
    reserve(into, std::max(piece_capacity_, carried_.size()));
    std::copy(carried_.begin(), carried_.end(), into.bytes.get());
    std::size_t filled = carried_.size();
    carried_.clear();
    while (unread_ > 0) {
        if (filled == into.capacity) grow(into);  // one token fills the whole piece
        char* const bytes = into.bytes.get();
        const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(into.capacity - filled, unread_));
        in_.read_exactly(bytes + filled, wanted);
        unread_ -= wanted;
        filled += wanted;
        if (unread_ == 0) break;
        std::size_t end = filled;
        while (end > 0 && !is_separator(bytes[end - 1])) --end;
        if (end > 0) {
            carried_.assign(bytes + end, bytes + filled);
            return {bytes, end};
        }
    }
    return {into.bytes.get(), filled};
}

// As a read into storage would: up to the last separator in a piece, the piece doubled while
// one token fills it.
std::span<const char> TextPieces::next_in_place() {
    for (std::size_t capacity = piece_capacity_;; capacity = std::min(capacity * 2, max_piece_)) {
        if (capacity >= in_place_.size()) return std::exchange(in_place_, {in_place_.data() + in_place_.size(), 0});
        std::size_t end = capacity;
        while (end > 0 && !is_separator(in_place_[end - 1])) --end;
        if (end > 0) {
            const std::span<const char> piece = in_place_.first(end);
            in_place_ = in_place_.subspan(end);
            return piece;
        }
        if (capacity >= max_piece_) throw_long_token();
    }
}

void TextPieces::throw_long_token() const {
    throw std::runtime_error("ASCII PCD data holds a token longer than " + std::to_string(max_token_) + " bytes");
}

void TextPieces::grow(PieceStorage& piece) const {
    if (piece.capacity >= max_piece_) throw_long_token();
    const std::size_t capacity = std::min(piece.capacity * 2, max_piece_);
    auto bytes = std::make_unique_for_overwrite<char[]>(capacity);
    std::memcpy(bytes.get(), piece.bytes.get(), piece.capacity);
    piece.bytes = std::move(bytes);
    piece.capacity = capacity;
}

}  // namespace tessarel
