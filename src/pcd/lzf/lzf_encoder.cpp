#include "pcd/lzf/lzf_encoder.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "pcd/lzf/lzf_format.hpp"

namespace tessarel {
namespace {

// Earlier positions are found by a hash of the 3 bytes they start with. The table holds
// positions modulo 2^16: that is exact for every distance a reference can have, and an entry
// left from further back only names some earlier position, whose bytes are compared anyway. Shorter
// inputs use a smaller table, about an entry per byte, so that clearing it stays cheap.
using Position = std::uint16_t;
constexpr int table_bits = 16;
constexpr int small_table_bits = 9;
constexpr int medium_table_bits = 13;
constexpr std::uint32_t hashed_bytes = 0xffffff;

// Words are taken in memory order, first byte lowest: the machine is little-endian.
template <typename Word>
Word load(const std::byte* p) noexcept {
    Word word;
    std::memcpy(&word, p, sizeof word);
    return word;
}

std::uint32_t load32(const std::byte* p) noexcept { return load<std::uint32_t>(p); }
std::uint64_t load64(const std::byte* p) noexcept { return load<std::uint64_t>(p); }

// Fibonacci hashing: the top bits of the product depend on all three bytes.
template <int Bits>
std::uint32_t hash(std::uint64_t word) noexcept {
    return ((static_cast<std::uint32_t>(word) & hashed_bytes) * 2654435761U) >> (32 - Bits);
}

// How many bytes from `from` on repeat those from `earlier` on, up to `end`.
std::size_t common_length(const std::byte* earlier, const std::byte* from, const std::byte* end) noexcept {
    const std::byte* const start = from;
    while (end - from >= 8) {
        const std::uint64_t diff = load64(earlier) ^ load64(from);
        if (diff != 0)
            return static_cast<std::size_t>(from - start) + static_cast<std::size_t>(std::countr_zero(diff)) / 8;
        earlier += 8;
        from += 8;
    }
    while (from != end && *from == *earlier) {
        ++earlier;
        ++from;
    }
    return static_cast<std::size_t>(from - start);
}

// The length of a match whose first 3 bytes agree and which ends within 8, given the XOR of
// its first 8 bytes with theirs. Counted by branches rather than by counting bits, so that
// the next position does not wait on the compared bytes: most matches are short and of
// lengths the branch predictor learns.
std::size_t short_match_length(std::uint64_t diff) noexcept {
    std::size_t length = lzf_shortest_reference;
    for (diff >>= 8 * lzf_shortest_reference; (diff & 0xff) == 0; diff >>= 8) ++length;
    return length;
}

std::byte* put_literals(std::byte* op, const std::byte* from, std::size_t count) noexcept {
    while (count > 0) {
        const std::size_t run = std::min(count, lzf_longest_literal);
        *op++ = static_cast<std::byte>(run - 1);
        std::memcpy(op, from, run);
        op += run;
        from += run;
        count -= run;
    }
    return op;
}

std::byte* put_reference(std::byte* op, std::size_t distance, std::size_t length) noexcept {
    const std::size_t back = distance - 1;
    const std::size_t code = length - 2;
    if (code < lzf_long_length_code) {
        *op++ = static_cast<std::byte>(code << 5 | back >> 8);
    } else {
        *op++ = static_cast<std::byte>(lzf_long_length_code << 5 | back >> 8);
        *op++ = static_cast<std::byte>(code - lzf_long_length_code);
    }
    *op++ = static_cast<std::byte>(back & 0xffU);
    return op;
}

template <int Bits>
class Encoder {
public:
    Encoder(std::span<const std::byte> in, std::span<std::byte> out, Position* table) noexcept
        : begin_(in.data()), end_(in.data() + in.size()), anchor_(in.data()), op_(out.data()), table_(table) {
        std::fill_n(table_, std::size_t{1} << Bits, Position{0});
    }

    // Returns the end of what was written.
    std::byte* encode() noexcept {
        const std::byte* ip = begin_;
        // Far from the end, a position's first 8 bytes can be read at once, and so can a
        // literal run's longest length from any position before it.
        while (end_ - ip >= static_cast<std::ptrdiff_t>(8 + lzf_longest_literal)) {
            const std::uint64_t here = load64(ip);
            const std::size_t distance = swap_entry(ip, here);
            const std::uint64_t diff = load64(ip - distance) ^ here;
            // One branch for both tests, nonzero when the bytes differ or the distance is out
            // of reach: which way it goes is as hard to predict as a match.
            if (((diff & hashed_bytes) | ((distance - 1) / lzf_farthest_reference)) != 0) {
                ++ip;
                continue;
            }
            const std::size_t length =
                diff != 0 ? short_match_length(diff) : 8 + common_length(ip - distance + 8, ip + 8, end_);
            const std::byte* const start = match_start(ip, distance);
            const std::byte* const next =
                put_match<true>(start, distance, static_cast<std::size_t>(ip - start) + length);
            // Positions inside a match are not looked up. The table learns the first two and
            // the last two, where other repeats most often start; in a short match they overlap.
            remember(ip + 1, here >> 8);
            remember(ip + 2, here >> 16);
            if (next - ip > 3 && end_ - next >= 6) {
                const std::uint64_t last = load64(next - 2);
                if (next - ip > 4) remember(next - 2, last);
                remember(next - 1, last >> 8);
            }
            ip = next;
        }
        while (end_ - ip >= 4) {
            const std::uint32_t here = load32(ip);
            const std::size_t distance = swap_entry(ip, here);
            const std::byte* const earlier = ip - distance;
            if (distance - 1 >= lzf_farthest_reference || ((load32(earlier) ^ here) & hashed_bytes) != 0) {
                ++ip;
                continue;
            }
            const std::size_t length = lzf_shortest_reference + common_length(earlier + lzf_shortest_reference,
                                                                              ip + lzf_shortest_reference, end_);
            ip = put_match<false>(ip, distance, length);
        }
        return put_literals(op_, anchor_, static_cast<std::size_t>(end_ - anchor_));
    }

private:
    // Records `at` as the latest position with its 3 bytes and returns how far back the one
    // before it was. That is at most `at`'s offset, so `at - distance` is always in the input;
    // 0 means none.
    std::size_t swap_entry(const std::byte* at, std::uint64_t word) noexcept {
        Position& entry = table_[hash<Bits>(word)];
        const auto position = static_cast<Position>(at - begin_);
        const auto distance = static_cast<Position>(position - entry);
        entry = position;
        return distance;
    }

    void remember(const std::byte* at, std::uint64_t word) noexcept {
        table_[hash<Bits>(word)] = static_cast<Position>(at - begin_);
    }

    // Where a match found at `at` starts: the bytes just before it may repeat too, when their
    // own lookup found another position.
    const std::byte* match_start(const std::byte* at, std::size_t distance) const noexcept {
        if (at == anchor_) return at;
        const std::byte* const limit = std::max(anchor_, begin_ + distance);
        while (at > limit && at[-1] == *(at - 1 - distance)) --at;
        return at;
    }

    // Writes the literals before `at` and the match there, and returns the position after it.
    // A match longer than a reference goes out as several at the same distance; a remainder
    // too short for one is left to be matched afresh.
    template <bool FarFromEnd>
    const std::byte* put_match(const std::byte* at, std::size_t distance, std::size_t length) noexcept {
        put_pending_literals<FarFromEnd>(at);
        for (; length > lzf_longest_reference; length -= lzf_longest_reference, at += lzf_longest_reference)
            op_ = put_reference(op_, distance, lzf_longest_reference);
        if (length >= lzf_shortest_reference) {
            op_ = put_reference(op_, distance, length);
            at += length;
        }
        anchor_ = at;
        return at;
    }

    // Short runs, the most common between matches, are moved in one fixed-size copy far from
    // the input's end. The output has room for it there: what is written for a prefix of the
    // input is at most its size plus a byte for each 32 literals in it, so the bound leaves
    // room for the rest of the input, over 32 bytes, and a control byte.
    template <bool FarFromEnd>
    void put_pending_literals(const std::byte* at) noexcept {
        const auto count = static_cast<std::size_t>(at - anchor_);
        if (count == 0) return;
        if (!FarFromEnd || count > lzf_longest_literal) {
            op_ = put_literals(op_, anchor_, count);
            return;
        }
        *op_ = static_cast<std::byte>(count - 1);
        std::memcpy(op_ + 1, anchor_, lzf_longest_literal);
        op_ += 1 + count;
    }

    const std::byte* const begin_;
    const std::byte* const end_;
    const std::byte* anchor_;  // the first input byte no instruction covers yet
    std::byte* op_;
    Position* const table_;
};

// One table per thread, kept for its later calls; no other thread ever sees it.
Position* thread_table() noexcept {
    thread_local const std::unique_ptr<Position[]> table(new (std::nothrow) Position[std::size_t{1} << table_bits]);
    return table.get();
}

template <int Bits>
std::size_t encode_with(std::span<const std::byte> in, std::span<std::byte> out, Position* table) noexcept {
    Encoder<Bits> encoder(in, out, table);
    return static_cast<std::size_t>(encoder.encode() - out.data());
}

}  // namespace

std::size_t encode_lzf(std::span<const std::byte> in, std::span<std::byte> out) noexcept {
    if (in.empty() || out.size() < lzf_encoded_bound(in.size())) return 0;
    Position* const table = thread_table();
    // Without memory for the table, literal runs still make a valid block.
    if (table == nullptr) return static_cast<std::size_t>(put_literals(out.data(), in.data(), in.size()) - out.data());
    if (in.size() <= std::size_t{1} << small_table_bits) return encode_with<small_table_bits>(in, out, table);
    if (in.size() <= std::size_t{1} << medium_table_bits) return encode_with<medium_table_bits>(in, out, table);
    return encode_with<table_bits>(in, out, table);
}

}  // namespace tessarel
