#include "pcd/ascii_decoder.hpp"

#include <fast_float/fast_float.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

#include "pcd/element_type.hpp"
#include "pcd/input_stream.hpp"
#include "pcd/page_prefault.hpp"

namespace tessarel {
namespace {

static_assert(static_cast<int>(SlotKind::f32) == static_cast<int>(ElementType::f32) &&
              static_cast<int>(SlotKind::u64) == static_cast<int>(ElementType::u64));

std::optional<SlotKind> slot_kind(const PcdField& field) {
    if (const auto type = element_type(field.type, field.size)) {
        return static_cast<SlotKind>(*type);  // the first ten kinds mirror ElementType
    }
    switch (field.type) {
    case 'F': return SlotKind::any_float;
    case 'I': return SlotKind::any_signed;
    case 'U': return SlotKind::any_unsigned;
    default: return std::nullopt;
    }
}

// Every byte up to the space and every byte with the high bit set separates tokens.
constexpr bool is_separator(char c) noexcept {
    return static_cast<signed char>(c) <= ' ';
}

enum class Outcome : std::uint8_t { ok, not_a_number, out_of_range };

struct Parsed {
    const char* next;
    Outcome outcome;
};

template <class Float>
Parsed parse_float(const char* first, const char* last, std::byte* into) {
    Float value;
    // Overflow and underflow still give the signed infinity or zero: keep them.
    const auto result = fast_float::from_chars(first, last, value);
    if (result.ptr == first) return {first, Outcome::not_a_number};
    if (into) std::memcpy(into, &value, sizeof value);
    return {result.ptr, Outcome::ok};
}

// Reads at 64 bits, stores the low bytes of the stored type: 300 in a U 1 slot is 44.
template <class Wide, class Stored>
Parsed parse_integer(const char* first, const char* last, std::byte* into) {
    Wide value;
    const auto result = fast_float::from_chars(first, last, value);
    if (result.ec == std::errc::invalid_argument) return {first, Outcome::not_a_number};
    if (result.ec == std::errc::result_out_of_range) return {result.ptr, Outcome::out_of_range};
    if (into) {
        const auto stored = static_cast<Stored>(value);
        std::memcpy(into, &stored, sizeof stored);
    }
    return {result.ptr, Outcome::ok};
}

Parsed parse_value(SlotKind kind, const char* first, const char* last, std::byte* into) {
    switch (kind) {
    case SlotKind::f32: return parse_float<float>(first, last, into);
    case SlotKind::f64: return parse_float<double>(first, last, into);
    case SlotKind::i8: return parse_integer<std::int64_t, std::int8_t>(first, last, into);
    case SlotKind::i16: return parse_integer<std::int64_t, std::int16_t>(first, last, into);
    case SlotKind::i32: return parse_integer<std::int64_t, std::int32_t>(first, last, into);
    case SlotKind::i64: return parse_integer<std::int64_t, std::int64_t>(first, last, into);
    case SlotKind::u8: return parse_integer<std::uint64_t, std::uint8_t>(first, last, into);
    case SlotKind::u16: return parse_integer<std::uint64_t, std::uint16_t>(first, last, into);
    case SlotKind::u32: return parse_integer<std::uint64_t, std::uint32_t>(first, last, into);
    case SlotKind::u64: return parse_integer<std::uint64_t, std::uint64_t>(first, last, into);
    case SlotKind::any_float: return parse_float<double>(first, last, nullptr);
    case SlotKind::any_signed: return parse_integer<std::int64_t, std::int64_t>(first, last, nullptr);
    case SlotKind::any_unsigned: return parse_integer<std::uint64_t, std::uint64_t>(first, last, nullptr);
    }
    return {first, Outcome::not_a_number};
}

// Where decoding stopped: at the end of the cloud, or at the value that failed.
struct Stop {
    Outcome outcome = Outcome::ok;
    bool ended_early = false;
    std::uint64_t point = 0;
    const ValueSlot* slot = nullptr;
    const char* at = nullptr;
    std::uint64_t values_read = 0;
};

// Without `Store` the text is only checked: nothing is written and `row` may be null.
template <bool Store>
Stop decode_points(std::span<const char> text, std::span<const ValueSlot> slots,
                   std::uint64_t points, std::size_t point_step, std::byte* row) {
    const char* p = text.data();
    const char* const end = p + text.size();
    for (std::uint64_t point = 0; point < points; ++point, row += Store ? point_step : 0) {
        for (const ValueSlot& slot : slots) {
            while (p != end && is_separator(*p)) ++p;
            if (p == end) {
                const auto read = point * slots.size() + static_cast<std::uint64_t>(&slot - slots.data());
                return {Outcome::ok, true, point, &slot, p, read};
            }
            const Parsed parsed = parse_value(slot.kind, p, end, Store ? row + slot.offset : nullptr);
            if (parsed.outcome != Outcome::ok) return {parsed.outcome, false, point, &slot, p, 0};
            p = parsed.next;
        }
    }
    return {};
}

std::string_view token_at(const char* at, const char* end) {
    constexpr std::size_t longest = 40;
    const char* stop = at;
    while (stop != end && !is_separator(*stop) && static_cast<std::size_t>(stop - at) < longest) ++stop;
    return {at, static_cast<std::size_t>(stop - at)};
}

[[noreturn]] void throw_decode_error(const Stop& stop, std::span<const char> text,
                                     const PcdHeader& header, std::uint64_t expected) {
    if (stop.ended_early) {
        throw std::runtime_error("ASCII PCD data ended early: expected " + std::to_string(expected) +
                                 " values, read " + std::to_string(stop.values_read));
    }
    const PcdField& field = header.fields[stop.slot->field];
    std::string where = "ASCII PCD data, point " + std::to_string(stop.point) + ", field '" + field.name + "'";
    if (field.count > 1) where += " element " + std::to_string(stop.slot->element);
    const std::string token(token_at(stop.at, text.data() + text.size()));
    const std::string kind = std::string(1, field.type) + " " + std::to_string(field.size);
    if (stop.outcome == Outcome::out_of_range) {
        throw std::runtime_error(where + ": '" + token + "' is outside the 64-bit range of type " + kind);
    }
    throw std::runtime_error(where + ": '" + token + "' is not a number of type " + kind);
}

bool all_fields_storable(const std::vector<PcdField>& fields) {
    return std::all_of(fields.begin(), fields.end(),
                       [](const PcdField& field) { return element_type(field.type, field.size).has_value(); });
}

std::uint64_t saturating_product(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

// Tokens per point: one per element of every field that has a slot.
std::uint64_t values_per_point(const std::vector<PcdField>& fields) {
    std::uint64_t values = 0;
    for (const PcdField& field : fields) {
        if (slot_kind(field) && field.count > 0) values += static_cast<std::uint64_t>(field.count);
    }
    return values;
}

}  // namespace

std::vector<ValueSlot> build_value_slots(const std::vector<PcdField>& fields, std::uint64_t limit) {
    std::vector<ValueSlot> slots;
    for (std::uint32_t index = 0; index < fields.size(); ++index) {
        const PcdField& field = fields[index];
        const auto kind = slot_kind(field);
        if (!kind) continue;
        for (std::int32_t element = 0; element < field.count; ++element) {
            if (slots.size() == limit) return slots;
            const auto offset = field.offset + std::int64_t{element} * field.size;
            slots.push_back({static_cast<std::size_t>(offset), *kind, index, static_cast<std::uint32_t>(element)});
        }
    }
    return slots;
}

ByteBuffer read_remaining_text(std::istream& in) {
    ByteBuffer text(remaining_bytes(in), Fill::overwritten);
    const BackgroundPrefault prefault({text.bytes()});
    read_exactly(in, text.data(), text.size());
    return text;
}

PointBuffer decode_ascii(std::span<const char> text, const PcdHeader& header, std::size_t buffer_size) {
    const std::uint64_t points = header.points > 0 ? static_cast<std::uint64_t>(header.points) : 0;
    const std::uint64_t per_point = values_per_point(header.fields);
    const std::uint64_t expected = saturating_product(points, per_point);
    const auto step = static_cast<std::size_t>(header.point_step);
    // Every value after the first takes two bytes at least: itself and what separates it.
    const std::uint64_t token_room = (std::uint64_t{text.size()} + 1) / 2;
    // Values are stored in 8 bytes at most, so a record larger than its values can fill comes
    // only from header lines that disagree (two COUNT lines, say). Such a cloud, a text too
    // short for its values, or a field that cannot be returned, is checked before anything
    // is reserved, so that a file of a few bytes that fails cannot first make us reserve the
    // gigabytes its header declares. The check never gets past the text's last token, so the
    // slots it needs are bounded by the text too.
    const bool storable = all_fields_storable(header.fields);
    if (expected > token_room || !storable || buffer_size / 8 > token_room) {
        if (expected > 0) {
            const auto slots = build_value_slots(header.fields, std::min(per_point, token_room + 1));
            const Stop stop = decode_points<false>(text, slots, points, step, nullptr);
            if (stop.ended_early || stop.outcome != Outcome::ok) throw_decode_error(stop, text, header, expected);
        }
        if (!storable) throw std::runtime_error(unsupported_type_message);
    }
    if (expected == 0) return PointBuffer(buffer_size, Fill::zeroed);
    const std::vector<ValueSlot> slots = build_value_slots(header.fields, per_point);
    // Every value is written, so only a record with gaps between its fields needs zeroing.
    PointBuffer buffer(buffer_size, fields_are_packed(header) ? Fill::overwritten : Fill::zeroed);
    const BackgroundPrefault prefault({buffer.bytes()});
    const Stop stop = decode_points<true>(text, slots, points, step, buffer.data());
    if (stop.ended_early || stop.outcome != Outcome::ok) throw_decode_error(stop, text, header, expected);
    return buffer;
}

PointBuffer read_ascii_data(std::istream& in, const PcdHeader& header, std::size_t buffer_size) {
    const ByteBuffer text = read_remaining_text(in);
    return decode_ascii({reinterpret_cast<const char*>(text.data()), text.size()}, header, buffer_size);
}

}  // namespace tessarel
