#include "pcd/read/ascii_decoder.hpp"

#include <cstdint>
#include <exception>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "pcd/io/interruption.hpp"
#include "pcd/parallel/page_prefault.hpp"
#include "pcd/read/ascii_number.hpp"
#include "pcd/read/ascii_parallel.hpp"
#include "pcd/read/ascii_text.hpp"

namespace tessarel {
namespace {

// The tokens of one field in a point: `count` consecutive ones, stored `element_bytes` apart
// from `offset` in the record. Fields of COUNT 0 have none.
struct FieldTokens {
    std::size_t offset;
    std::size_t element_bytes;
    std::size_t count;
    ElementType type;
    std::uint32_t field;  // index into the layout's fields, for messages
};

std::vector<FieldTokens> field_tokens(const PcdLayout& layout) {
    std::vector<FieldTokens> slots;
    for (std::uint32_t index = 0; index < layout.fields.size(); ++index) {
        const FieldLayout& field = layout.fields[index];
        if (field.count == 0) continue;
        slots.push_back({field.offset, field.element_bytes(), field.count, field.type, index});
    }
    return slots;
}

std::uint64_t values_per_point(const PcdLayout& layout) {
    std::uint64_t values = 0;
    for (const FieldLayout& field : layout.fields) values += field.count;
    return values;
}

std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

// Where decoding stopped: at the end of the cloud, or at the value that failed.
struct Stop {
    TokenStatus status = TokenStatus::ok;
    bool ended_early = false;
    bool changed = false;  // a piece held fewer tokens than were counted in it
    std::uint64_t point = 0;
    const FieldTokens* slot = nullptr;
    std::size_t element = 0;
    std::string_view token;
    std::uint64_t values_read = 0;

    bool failed() const noexcept { return ended_early || changed || status != TokenStatus::ok; }
};

// Reads the points' tokens into `row` onward, or without `Store` only checks them. Flattened:
// with the parsers and fast_float inlined into the loop, a token costs a sixth less than
// through a call per token.
template <bool Store>
[[gnu::flatten]] Stop decode_points(TextPieces& text, std::span<const FieldTokens> slots, std::uint64_t points,
                                    std::size_t point_step, std::byte* row) {
    std::span<const char> piece = text.next();
    const char* p = piece.data();
    const char* end = p + piece.size();
    std::uint64_t values_read = 0;
    for (std::uint64_t point = 0; point < points; ++point, row += Store ? point_step : 0) {
        for (const FieldTokens& slot : slots) {
            std::byte* into = Store ? row + slot.offset : nullptr;
            for (std::size_t element = 0; element < slot.count; ++element) {
                while (true) {
                    while (p != end && is_separator(*p)) ++p;
                    if (p != end) break;
                    check_for_interruption();
                    piece = text.next();
                    if (piece.empty()) return {TokenStatus::ok, true, false, point, &slot, element, {}, values_read};
                    p = piece.data();
                    end = p + piece.size();
                }
                const TokenResult result = parse_value(slot.type, p, end, into);
                if (result.status != TokenStatus::ok) {
                    const std::string_view token(p, token_end(p, end));
                    return {result.status, false, false, point, &slot, element, token, values_read};
                }
                p = result.next;
                if (Store) into += slot.element_bytes;
                ++values_read;
            }
        }
    }
    return {};
}

std::string quoted(std::string_view token) {
    constexpr std::size_t longest = 200;
    if (token.size() <= longest) return "'" + std::string(token) + "'";
    return "'" + std::string(token.substr(0, longest)) + "...' (" + std::to_string(token.size()) + " bytes)";
}

[[noreturn]] void throw_decode_error(const Stop& stop, const PcdLayout& layout, std::uint64_t expected) {
    if (stop.ended_early) {
        throw std::runtime_error("ASCII PCD data ended early: expected " + std::to_string(expected) + " values, read " +
                                 std::to_string(stop.values_read));
    }
    const FieldLayout& field = layout.fields[stop.slot->field];
    std::string where = "point " + std::to_string(stop.point) + ", field '" + printable_name(field.name) + "'";
    if (field.count > 1) where += " element " + std::to_string(stop.element);
    if (stop.changed) {
        throw std::runtime_error("ASCII PCD data changed while it was read: " + where +
                                 " has no token where one was counted");
    }
    where = "ASCII PCD data, " + where;
    const ElementTypeEntry& type = entry_of(field.type);
    const std::string kind = std::string(1, type.type) + " " + std::to_string(type.size);
    const std::string token = quoted(stop.token);
    switch (stop.status) {
    case TokenStatus::out_of_range:
        throw std::runtime_error(where + ": " + token + " is outside the 64-bit range of type " + kind);
    case TokenStatus::not_whole:
        throw std::runtime_error(where + ": " + token + " is not a whole number, as type " + kind + " needs");
    default: throw std::runtime_error(where + ": " + token + " is not a number of type " + kind);
    }
}

// Reads the next `values` tokens of `piece`, which held that many when they were counted, into
// the buffer at `records`; the first is value `first` of the cloud, counted over every point's
// slots. Text in memory that the caller rewrites meanwhile may hold fewer now: every scan stays
// inside the piece whatever its bytes. Flattened as decode_points is.
[[gnu::flatten]] Stop decode_piece(std::span<const char> piece, std::span<const FieldTokens> slots,
                                   std::uint64_t values_per_point, std::uint64_t first, std::uint64_t values,
                                   std::size_t point_step, std::byte* records) {
    std::uint64_t point = first / values_per_point;
    std::uint64_t rest = first % values_per_point;
    const FieldTokens* slot = slots.data();
    while (rest >= slot->count) rest -= slot++->count;
    std::size_t element = static_cast<std::size_t>(rest);
    std::byte* row = records + static_cast<std::size_t>(point) * point_step;
    std::byte* into = row + slot->offset + element * slot->element_bytes;
    const char* p = piece.data();
    const char* const end = p + piece.size();
    for (std::uint64_t value = first; value < first + values; ++value) {
        while (p != end && is_separator(*p)) ++p;
        if (p == end) return {TokenStatus::ok, false, true, point, slot, element, {}, value};
        const TokenResult result = parse_value(slot->type, p, end, into);
        if (result.status != TokenStatus::ok) {
            return {result.status, false, false, point, slot, element, std::string_view(p, token_end(p, end)), value};
        }
        p = result.next;
        into += slot->element_bytes;
        if (++element < slot->count) continue;
        element = 0;
        if (++slot == slots.data() + slots.size()) {
            slot = slots.data();
            row += point_step;
            ++point;
        }
        into = row + slot->offset;
    }
    return {};
}

// The decoder's faults as the parallel parse keeps them.
std::exception_ptr decode_error(const Stop& stop, const PcdLayout& layout, std::uint64_t expected) {
    try {
        throw_decode_error(stop, layout, expected);
    } catch (...) {
        return std::current_exception();
    }
}

// The values parsed by several threads, each taking the next piece of the text.
void decode_in_parallel(TextPieces& text, std::span<const FieldTokens> slots, const PcdLayout& layout,
                        std::uint64_t expected, int threads, CpuShare share, std::byte* records) {
    const std::uint64_t per_point = values_per_point(layout);
    const ParsePiece parse = [&](std::span<const char> piece, std::uint64_t first, std::uint64_t values) {
        const Stop stop = decode_piece(piece, slots, per_point, first, values, layout.point_step, records);
        return stop.failed() ? decode_error(stop, layout, expected) : nullptr;
    };
    Stop stop;
    stop.values_read = parse_in_parallel(text, expected, threads, share, parse);
    stop.ended_early = stop.values_read < expected;
    if (stop.failed()) throw_decode_error(stop, layout, expected);
}

}  // namespace

PointBuffer read_ascii_data(InputSource& in, const PcdLayout& layout, CpuShare share, std::size_t piece_bytes) {
    const std::vector<FieldTokens> slots = field_tokens(layout);
    const std::uint64_t expected = saturating_product(layout.points, values_per_point(layout));
    if (expected == 0) return PointBuffer(layout.buffer_size, Fill::zeroed);
    const std::uint64_t text_bytes = in.remaining();
    // Every value after the first takes two bytes at least: itself and what separates it. A
    // text too short for its values is read through first, for the exact error, before the
    // cloud is reserved: so a file of a few bytes cannot make us reserve the gigabytes its
    // header declares. Past that check the buffer holds at most 8 bytes a value, four times
    // the text.
    if (expected > (text_bytes + 1) / 2) {
        TextPieces text(in, text_bytes, piece_bytes, max_ascii_token);
        const Stop stop = decode_points<false>(text, slots, layout.points, layout.point_step, nullptr);
        throw_decode_error(stop, layout, expected);
    }
    // The fields fill the record, so every byte is written.
    PointBuffer buffer(layout.buffer_size, Fill::overwritten);
    const BackgroundPrefault prefault({buffer.bytes()}, share);
    TextPieces text(in, text_bytes, piece_bytes, max_ascii_token);
    if (const int threads = ascii_threads(share, text_bytes, piece_bytes); threads > 1) {
        decode_in_parallel(text, slots, layout, expected, threads, share, buffer.data());
        return buffer;
    }
    const Stop stop = decode_points<true>(text, slots, layout.points, layout.point_step, buffer.data());
    if (stop.failed()) throw_decode_error(stop, layout, expected);
    return buffer;
}

}  // namespace tessarel
