#include "pcd/read/ascii_text.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace tessarel {
namespace {

void reserve(TextRun& run, std::size_t capacity) {
    if (run.capacity >= capacity) return;
    run.bytes = std::make_unique_for_overwrite<char[]>(capacity);
    run.capacity = capacity;
}

bool holds_separator(std::span<const char> run) { return std::any_of(run.begin(), run.end(), is_separator); }

}  // namespace

// A run holds at most the longest token and the separator after it, so no token longer than
// that fits in a run, wherever it stands, and a run filled without a separator is one.
TextChunks::TextChunks(InputSource& in, std::uint64_t size, std::size_t chunk_bytes, std::size_t max_token)
    : in_(in),
      unread_(size),
      max_token_(max_token),
      max_run_(max_token + 1),
      chunk_capacity_(
          static_cast<std::size_t>(std::min<std::uint64_t>(std::clamp<std::size_t>(chunk_bytes, 1, max_run_), size))) {
    if (const auto text = in.view(size)) {
        in_place_ = {reinterpret_cast<const char*>(text->data()), text->size()};
        unread_ = 0;
    }
}

std::span<const char> TextChunks::next(TextRun& into) {
    const std::span<const char> run = in_place_.data() ? next_in_place() : next_read(into);
    // The last run ends with the text, not with a separator: it is one token too long only
    // when it is all one token.
    if (run.size() > max_token_ && !holds_separator(run)) throw_long_token();
    return run;
}

std::span<const char> TextChunks::next_read(TextRun& into) {
    // The token cut at the end of the last run comes first.
    reserve(into, std::max(chunk_capacity_, carried_.size()));
    std::copy(carried_.begin(), carried_.end(), into.bytes.get());
    std::size_t filled = carried_.size();
    carried_.clear();
    while (unread_ > 0) {
        if (filled == into.capacity) grow(into);  // one token fills the whole run
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

// As a read into a run would: up to the last separator in a chunk, the chunk doubled while
// one token fills it.
std::span<const char> TextChunks::next_in_place() {
    for (std::size_t capacity = chunk_capacity_;; capacity = std::min(capacity * 2, max_run_)) {
        if (capacity >= in_place_.size()) return std::exchange(in_place_, {in_place_.data() + in_place_.size(), 0});
        std::size_t end = capacity;
        while (end > 0 && !is_separator(in_place_[end - 1])) --end;
        if (end > 0) {
            const std::span<const char> run = in_place_.first(end);
            in_place_ = in_place_.subspan(end);
            return run;
        }
        if (capacity >= max_run_) throw_long_token();
    }
}

void TextChunks::throw_long_token() const {
    throw std::runtime_error("ASCII PCD data holds a token longer than " + std::to_string(max_token_) + " bytes");
}

void TextChunks::grow(TextRun& run) const {
    if (run.capacity >= max_run_) throw_long_token();
    const std::size_t capacity = std::min(run.capacity * 2, max_run_);
    auto bytes = std::make_unique_for_overwrite<char[]>(capacity);
    std::memcpy(bytes.get(), run.bytes.get(), run.capacity);
    run.bytes = std::move(bytes);
    run.capacity = capacity;
}

}  // namespace tessarel
