#include "pcd/write/ascii_encoder.hpp"

#include <algorithm>
#include <charconv>
#include <span>
#include <type_traits>
#include <vector>

#include "pcd/parallel/ordered_pieces.hpp"
#include "pcd/write/float_text.hpp"

namespace tessarel {
namespace {

// Room for the longest text of one value and its separator: a float64 takes up to 24
// characters, an int64 20.
constexpr std::size_t longest_value = 32;
static_assert(longest_float_text < longest_value);

// Writes the field's values of one point, each followed by a space: floats in their shortest
// round-trip text, integers in decimal.
template <class Value>
char* format_point(std::size_t count, const FieldValues& values, const std::byte* source, char* out) noexcept {
    for (std::size_t e = 0; e < count; ++e) {
        const std::byte* const at = source + static_cast<std::ptrdiff_t>(e) * values.element_stride;
        const Value value = load_value<Value>(at, values.byte_swapped);
        if constexpr (std::is_floating_point_v<Value>) {
            out = write_float_text(out, value);
        } else {
            out = std::to_chars(out, out + longest_value, value).ptr;
        }
        *out++ = ' ';
    }
    return out;
}

using PointFormatter = char* (*)(std::size_t, const FieldValues&, const std::byte*, char*) noexcept;

PointFormatter formatter_of(ElementType type) {
    return visit_element_type(type, [](auto zero) -> PointFormatter { return &format_point<decltype(zero)>; });
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
            formatters.push_back(formatter_of(field.type));
            longest_point += field.count * longest_value;
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
