#include "pcd/read/ascii_points.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "pcd/io/interruption.hpp"

namespace tessarel {
namespace {

// Reads the points' tokens into `row` onward, or without `Store` only checks them. Without
// `Selective` every field is kept, and the loop has no test for it. Flattened: with the parsers
// and fast_float inlined into the loop, a token costs a sixth less than through a call per
// token.
template <bool Store, bool Selective>
[[gnu::flatten]] Stop read_points_as(TextPieces& text, TextCursor& at, std::span<const FieldTokens> slots,
                                     std::uint64_t points, std::size_t point_step, std::byte* row) {
    const char* p = at.next;
    const char* end = at.end;
    std::uint64_t values_read = at.values_read;
    const std::uint64_t last = at.point + points;
    const auto next_piece = [&] {
        check_for_interruption();
        const std::span<const char> piece = text.next();
        at.handed_out += piece.size();
        p = piece.data();
        end = p + piece.size();
        return !piece.empty();
    };
    for (std::uint64_t point = at.point; point < last; ++point, row += Store ? point_step : 0) {
        for (const FieldTokens* slot = slots.data(); slot != slots.data() + slots.size(); ++slot) {
            if (Selective && !slot->kept) {
                for (std::uint64_t left = slot->run; (left -= skip_tokens(p, end, left)) > 0;) {
                    if (!next_piece()) {
                        return {TokenStatus::ok, true, false, point, slot, 0, {}, values_read + slot->run - left};
                    }
                }
                values_read += slot->run;
                slot += slot->run_slots - 1;
                continue;
            }
            std::byte* into = Store ? row + slot->offset : nullptr;
            for (std::size_t element = 0; element < slot->count; ++element) {
                while (true) {
                    while (p != end && is_separator(*p)) ++p;
                    if (p != end) break;
                    if (!next_piece()) return {TokenStatus::ok, true, false, point, slot, element, {}, values_read};
                }
                const TokenResult result = parse_value(slot->type, p, end, into);
                if (result.status != TokenStatus::ok) {
                    const std::string_view token(p, token_end(p, end));
                    return {result.status, false, false, point, slot, element, token, values_read};
                }
                p = result.next;
                if (Store) into += slot->element_bytes;
                ++values_read;
            }
        }
    }
    at = {p, end, last, values_read, at.handed_out};
    return {};
}

template <bool Selective>
[[gnu::flatten]] Stop read_piece_as(std::span<const char> piece, std::span<const FieldTokens> slots,
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
    const std::uint64_t last = first + values;
    for (std::uint64_t value = first; value < last; ++value) {
        if (Selective && !slot->kept) {
            // To the run's last token, which the step below moves past as any other.
            const std::uint64_t wanted = std::min(slot->run - element, last - value) - 1;
            const std::uint64_t passed = skip_tokens(p, end, wanted);
            if (passed < wanted) {
                std::uint64_t missing = element + passed;
                for (; missing >= slot->count; ++slot) missing -= slot->count;
                return {TokenStatus::ok, false, true, point, slot, static_cast<std::size_t>(missing), {},
                        value + passed};
            }
            value += wanted;
            for (element += static_cast<std::size_t>(wanted); element >= slot->count; ++slot) element -= slot->count;
        }
        while (p != end && is_separator(*p)) ++p;
        if (p == end) return {TokenStatus::ok, false, true, point, slot, element, {}, value};
        if (Selective && !slot->kept) {
            p = token_end(p, end);
        } else {
            const TokenResult result = parse_value(slot->type, p, end, into);
            if (result.status != TokenStatus::ok) {
                return {result.status, false, false, point, slot, element, std::string_view(p, token_end(p, end)),
                        value};
            }
            p = result.next;
            into += slot->element_bytes;
        }
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

// The token as the message shows it. Its bytes are copied once and cut at a separator in the
// copy: text in memory that the caller rewrites meanwhile may no longer end where it did.
std::string quoted(std::string_view token) {
    constexpr std::size_t longest = 200;
    const std::string copied(token.substr(0, longest));
    const std::string shown(copied.data(), token_end(copied.data(), copied.data() + copied.size()));
    if (token.size() <= longest || shown.size() < copied.size()) return "'" + shown + "'";
    return "'" + shown + "...' (" + std::to_string(token.size()) + " bytes)";
}

}  // namespace

PointTokens point_tokens(const PcdLayout& layout, const FieldSelection& selection) {
    const PcdLayout kept = kept_layout(layout, selection, 0);
    PointTokens tokens{{}, 0, kept.point_step, keeps_all(selection)};
    std::size_t kept_index = 0;
    for (std::uint32_t index = 0; index < layout.fields.size(); ++index) {
        const FieldLayout& field = layout.fields[index];
        const bool is_kept = selection.kept[index];
        const FieldLayout* into = is_kept ? &kept.fields[kept_index++] : nullptr;
        tokens.values += field.count;
        if (field.count == 0) continue;
        tokens.slots.push_back(
            {into ? into->offset : 0, into ? into->element_bytes() : 0, field.count, field.type, is_kept, index});
    }
    // Runs of fields not kept, counted from each one to the next kept field or the point's end.
    for (std::size_t i = tokens.slots.size(); i-- > 0;) {
        FieldTokens& slot = tokens.slots[i];
        if (slot.kept) continue;
        const bool joined = i + 1 < tokens.slots.size() && !tokens.slots[i + 1].kept;
        slot.run = slot.count + (joined ? tokens.slots[i + 1].run : 0);
        slot.run_slots = 1 + (joined ? tokens.slots[i + 1].run_slots : 0);
    }
    return tokens;
}

Stop read_points(TextPieces& text, TextCursor& at, const PointTokens& tokens, std::uint64_t points,
                 std::byte* records) {
    const std::size_t step = tokens.point_step;
    if (records) {
        return tokens.keeps_all ? read_points_as<true, false>(text, at, tokens.slots, points, step, records)
                                : read_points_as<true, true>(text, at, tokens.slots, points, step, records);
    }
    return tokens.keeps_all ? read_points_as<false, false>(text, at, tokens.slots, points, step, nullptr)
                            : read_points_as<false, true>(text, at, tokens.slots, points, step, nullptr);
}

Stop read_piece(std::span<const char> piece, const PointTokens& tokens, std::uint64_t first, std::uint64_t values,
                std::byte* records) {
    return tokens.keeps_all
               ? read_piece_as<false>(piece, tokens.slots, tokens.values, first, values, tokens.point_step, records)
               : read_piece_as<true>(piece, tokens.slots, tokens.values, first, values, tokens.point_step, records);
}

void throw_read_error(const Stop& stop, const PcdLayout& layout, std::uint64_t expected) {
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

}  // namespace tessarel
