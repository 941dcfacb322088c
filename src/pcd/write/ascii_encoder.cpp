#include "pcd/write/ascii_encoder.hpp"

#include <algorithm>
#include <span>
#include <type_traits>
#include <vector>

#include "pcd/parallel/ordered_pieces.hpp"
#include "pcd/write/digit_text.hpp"
#include "pcd/write/float_text.hpp"

namespace tessarel {
namespace {

// Room for the text of one value and its separator, and for what the digit writers store past
// the text's end: a float64 takes up to 24 characters, an int64 20.
constexpr std::size_t value_room = 32;
static_assert(longest_float_text < value_room && 1 + decimal_room < value_room);

template <class Value>
char* write_value_text(char* out, Value value) noexcept {
    if constexpr (std::is_floating_point_v<Value>) {
        return write_float_text(out, value);
    } else if constexpr (std::is_signed_v<Value>) {
        using Unsigned = std::make_unsigned_t<Value>;
        *out = '-';
        out += value < 0;
        const auto magnitude = static_cast<Unsigned>(value < 0 ? Unsigned{0} - static_cast<Unsigned>(value) : value);
        return write_decimal(out, magnitude);
    } else {
        return write_decimal(out, value);
    }
}

// Writes the field's values of one point, each followed by a space. The element type and the
// byte order are chosen once per field, so that neither costs a branch per value.
template <class Value, bool byte_swapped>
char* format_point(std::size_t count, const FieldValues& values, const std::byte* source, char* out) noexcept {
    for (std::size_t e = 0; e < count; ++e) {
        const std::byte* const at = source + static_cast<std::ptrdiff_t>(e) * values.element_stride;
        out = write_value_text(out, load_value<Value>(at, byte_swapped));
        *out++ = ' ';
    }
    return out;
}

using PointFormatter = char* (*)(std::size_t, const FieldValues&, const std::byte*, char*) noexcept;

PointFormatter formatter_of(ElementType type, bool byte_swapped) {
    return visit_element_type(type, [&](auto zero) -> PointFormatter {
        using Value = decltype(zero);
        return byte_swapped ? &format_point<Value, true> : &format_point<Value, false>;
    });
}

// The text of a cloud, a piece of points at a time: one line a point.
struct PieceFormat {
    const CloudToWrite& cloud;
    std::vector<PointFormatter> formatters;
    std::size_t piece_points;
    std::size_t text_bytes;  // room for the longest text of a piece
    std::size_t pieces;

    explicit PieceFormat(const CloudToWrite& to_write) : cloud(to_write) {
        std::size_t longest_point = 0;
        for (const FieldLayout& field : cloud.record.fields) {
            formatters.push_back(formatter_of(field.type, cloud.values[formatters.size()].byte_swapped));
            longest_point += field.count * value_room;
        }
        piece_points = std::max<std::size_t>(1, output_piece_bytes / longest_point);
        text_bytes = piece_points * longest_point;
        pieces = (cloud.points + piece_points - 1) / piece_points;
    }

    // The text of piece `piece` into `text`, which holds text_bytes; returns its length.
    std::size_t format(std::size_t piece, char* text) const noexcept {
        const std::size_t first = piece * piece_points;
        const std::size_t last = std::min(cloud.points, first + piece_points);
        char* out = text;
        for (std::size_t point = first; point < last; ++point) {
            for (std::size_t f = 0; f < formatters.size(); ++f) {
                const FieldValues& values = cloud.values[f];
                out = formatters[f](cloud.record.fields[f].count, values,
                                    values.first + static_cast<std::ptrdiff_t>(point) * values.point_stride, out);
            }
            out[-1] = '\n';
        }
        return static_cast<std::size_t>(out - text);
    }
};

}  // namespace

std::size_t ascii_pieces(const CloudToWrite& cloud) { return PieceFormat(cloud).pieces; }

void write_ascii_data(const CloudToWrite& cloud, AtomicFile& file, CpuShare share) {
    const PieceFormat format(cloud);
    const MakePiece make = [&](std::size_t piece, std::span<std::byte> out, std::span<std::byte>) {
        return format.format(piece, reinterpret_cast<char*>(out.data()));
    };
    write_pieces_in_order({format.pieces, format.text_bytes, 0}, make, file, share);
}

}  // namespace tessarel
