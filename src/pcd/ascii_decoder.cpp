#include "pcd/ascii_decoder.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "pcd/ascii_number.hpp"
#include "pcd/ascii_text.hpp"
#include "pcd/input_stream.hpp"
#include "pcd/page_prefault.hpp"

namespace tessarel {
namespace {

// One field of a point record: `count` consecutive tokens, stored `element_bytes` apart.
struct Slot {
    std::size_t offset;
    std::size_t element_bytes;
    std::size_t count;
    ElementType type;
    std::uint32_t field;  // index into the layout's fields, for messages
};

std::vector<Slot> build_slots(const PcdLayout& layout) {
    std::vector<Slot> slots;
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
    std::uint64_t point = 0;
    const Slot* slot = nullptr;
    std::size_t element = 0;
    std::string_view token;
    std::uint64_t values_read = 0;
};

// Reads the points' tokens into `row` onward, or without `Store` only checks them.
template <bool Store>
Stop decode_points(TextChunks& text, std::span<const Slot> slots, std::uint64_t points, std::size_t point_step,
                   std::byte* row) {
    std::span<const char> run = text.next();
    const char* p = run.data();
    const char* end = p + run.size();
    std::uint64_t values_read = 0;
    for (std::uint64_t point = 0; point < points; ++point, row += Store ? point_step : 0) {
        for (const Slot& slot : slots) {
            std::byte* into = Store ? row + slot.offset : nullptr;
            for (std::size_t element = 0; element < slot.count; ++element) {
                while (true) {
                    while (p != end && is_separator(*p)) ++p;
                    if (p != end) break;
                    run = text.next();
                    if (run.empty()) return {TokenStatus::ok, true, point, &slot, element, {}, values_read};
                    p = run.data();
                    end = p + run.size();
                }
                const TokenResult result = parse_value(slot.type, p, end, into);
                if (result.status != TokenStatus::ok) {
                    const std::string_view token(p, token_end(p, end));
                    return {result.status, false, point, &slot, element, token, values_read};
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
        throw std::runtime_error("ASCII PCD data ended early: expected " + std::to_string(expected) +
                                 " values, read " + std::to_string(stop.values_read));
    }
    const FieldLayout& field = layout.fields[stop.slot->field];
    std::string where = "ASCII PCD data, point " + std::to_string(stop.point) + ", field '" + field.name + "'";
    if (field.count > 1) where += " element " + std::to_string(stop.element);
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

}  // namespace

PointBuffer read_ascii_data(std::istream& in, const PcdLayout& layout, std::size_t chunk_bytes) {
    const std::vector<Slot> slots = build_slots(layout);
    const std::uint64_t expected = saturating_product(layout.points, values_per_point(layout));
    if (expected == 0) return PointBuffer(layout.buffer_size, Fill::zeroed);
    const std::uint64_t text_bytes = remaining_bytes(in);
    // Every value after the first takes two bytes at least: itself and what separates it. A
    // text too short for its values is read through first, for the exact error, before the
    // cloud is reserved: so a file of a few bytes cannot make us reserve the gigabytes its
    // header declares. Past that check the buffer holds at most 8 bytes a value, four times
    // the text.
    if (expected > (text_bytes + 1) / 2) {
        TextChunks text(in, text_bytes, chunk_bytes, max_ascii_token);
        const Stop stop = decode_points<false>(text, slots, layout.points, layout.point_step, nullptr);
        throw_decode_error(stop, layout, expected);
    }
    // The fields fill the record, so every byte is written.
    PointBuffer buffer(layout.buffer_size, Fill::overwritten);
    const BackgroundPrefault prefault({buffer.bytes()});
    TextChunks text(in, text_bytes, chunk_bytes, max_ascii_token);
    const Stop stop = decode_points<true>(text, slots, layout.points, layout.point_step, buffer.data());
    if (stop.ended_early || stop.status != TokenStatus::ok) throw_decode_error(stop, layout, expected);
    return buffer;
}

}  // namespace tessarel
