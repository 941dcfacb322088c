#include "pcd/write/ascii_encoder.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
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

// The text of a value, made apart from the line it goes in: the separator after it, and its
// length in the last byte.
struct ValueText {
    char text[value_room - 1];
    std::uint8_t length;
};
static_assert(sizeof(ValueText) == value_room);

// The points whose texts are made a column at a time before their lines are put together:
// enough that the columns' texts stay in the L1 and L2 caches. The columns lie one text more
// apart, so that a point's texts do not all fall in the same set of the L1 cache.
constexpr std::size_t block_points = 64;
constexpr std::size_t column_texts = block_points + 1;

// The text of a value of four bytes or fewer, its separator included, fits in half the room:
// lines of such values are joined by copying that half alone.
constexpr std::size_t narrow_text_room = 16;
static_assert(longest_float32_text + 1 <= narrow_text_room && 1 + 10 + 1 <= narrow_text_room);

// A piece has room for this much text at least, however many pieces are asked for: the CPUs
// then make pieces far longer than they take to pass on.
constexpr std::size_t least_piece_bytes = std::size_t{64} << 10;

template <class Value>
[[gnu::always_inline]] inline char* write_value_text(char* out, Value value) noexcept {
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

// One element of one field: the values of every point, `stride` bytes apart.
struct Column {
    const std::byte* first;
    std::ptrdiff_t stride;
    void (*fill)(const Column&, std::size_t first_point, std::size_t points, ValueText* texts) noexcept;
};

// The texts of points [first_point, first_point + points) of the column. The type and the
// byte order are chosen once a column, and each value's text is made apart from the others,
// so that the processor works on several at once.
template <class Value, bool byte_swapped>
void fill_column(const Column& column, std::size_t first_point, std::size_t points, ValueText* texts) noexcept {
    const std::byte* source = column.first + static_cast<std::ptrdiff_t>(first_point) * column.stride;
    for (std::size_t i = 0; i < points; ++i, source += column.stride) {
        char* const end = write_value_text(texts[i].text, load_value<Value>(source, byte_swapped));
        *end = ' ';
        texts[i].length = static_cast<std::uint8_t>(end + 1 - texts[i].text);
    }
}

std::vector<Column> columns_of(const CloudToWrite& cloud) {
    std::vector<Column> columns;
    for (std::size_t f = 0; f < cloud.record.fields.size(); ++f) {
        const FieldLayout& field = cloud.record.fields[f];
        const FieldValues& values = cloud.values[f];
        const auto fill = visit_element_type(field.type, [&](auto zero) -> decltype(Column::fill) {
            using Value = decltype(zero);
            return values.byte_swapped ? &fill_column<Value, true> : &fill_column<Value, false>;
        });
        for (std::size_t e = 0; e < field.count; ++e) {
            columns.push_back(
                {values.first + static_cast<std::ptrdiff_t>(e) * values.element_stride, values.point_stride, fill});
        }
    }
    return columns;
}

// The text of a cloud, a piece of points at a time: one line a point.
struct PieceFormat {
    const CloudToWrite& cloud;
    std::vector<Column> columns;
    std::size_t piece_points;
    std::size_t text_bytes;  // room for the longest text of a piece
    std::size_t pieces;
    bool narrow = true;  // every value is four bytes or fewer

    PieceFormat(const CloudToWrite& to_write, std::size_t least_pieces)
        : cloud(to_write), columns(columns_of(to_write)) {
        for (const FieldLayout& field : to_write.record.fields) narrow = narrow && field.element_bytes() <= 4;
        const std::size_t longest_point = columns.size() * value_room;  // x, y and z at least
        const std::size_t most = std::max<std::size_t>(1, output_piece_bytes / longest_point);
        const std::size_t least = std::max<std::size_t>(1, least_piece_bytes / longest_point);
        piece_points = std::clamp((cloud.points + least_pieces - 1) / least_pieces, least, most);
        text_bytes = piece_points * longest_point;
        pieces = (cloud.points + piece_points - 1) / piece_points;
    }

    // Room for the texts of a block of points.
    std::size_t scratch_bytes() const noexcept { return columns.size() * column_texts * sizeof(ValueText); }

    // The text of piece `piece` into `text`, which holds text_bytes; returns its length.
    std::size_t format(std::size_t piece, char* text, ValueText* texts) const noexcept {
        const std::size_t first = piece * piece_points;
        const std::size_t last = std::min(cloud.points, first + piece_points);
        char* out = text;
        for (std::size_t block = first; block < last; block += block_points) {
            const std::size_t points = std::min(block_points, last - block);
            for (std::size_t c = 0; c < columns.size(); ++c) {
                columns[c].fill(columns[c], block, points, texts + c * column_texts);
            }
            out = narrow ? join_lines<narrow_text_room>(points, texts, out)
                         : join_lines<sizeof texts->text>(points, texts, out);
        }
        return static_cast<std::size_t>(out - text);
    }

    // The lines of a block, from its columns' texts. Each text is copied with `Copied` bytes of
    // its room, at least its length: every value has that much room in the piece's text, so the
    // copy stays within it.
    template <std::size_t Copied>
    char* join_lines(std::size_t points, const ValueText* texts, char* out) const noexcept {
        const std::size_t count = columns.size();
        for (std::size_t i = 0; i < points; ++i) {
            for (std::size_t c = 0; c < count; ++c) {
                const ValueText& value = texts[c * column_texts + i];
                std::memcpy(out, value.text, Copied);
                out += value.length;
            }
            out[-1] = '\n';
        }
        return out;
    }
};

}  // namespace

std::size_t ascii_pieces(const CloudToWrite& cloud, std::size_t least_pieces) {
    return PieceFormat(cloud, least_pieces).pieces;
}

void make_ascii_text(const CloudToWrite& cloud, std::size_t least_pieces, const PieceSink& sink, CpuShare share,
                     PieceBuffers& buffers) {
    const PieceFormat format(cloud, least_pieces);
    const MakePiece make = [&](std::size_t piece, std::span<std::byte> out, std::span<std::byte> scratch) {
        return format.format(piece, reinterpret_cast<char*>(out.data()), reinterpret_cast<ValueText*>(scratch.data()));
    };
    make_pieces_in_order({format.pieces, format.text_bytes, format.scratch_bytes()}, make, sink, share, buffers);
}

void write_ascii_data(const CloudToWrite& cloud, AtomicFile& file, CpuShare share) {
    PieceBuffers buffers;
    write_ascii_data(cloud, file, share, buffers);
}

void write_ascii_data(const CloudToWrite& cloud, AtomicFile& file, CpuShare share, PieceBuffers& buffers) {
    make_ascii_text(cloud, 1, [&file](std::span<const std::byte> piece) { file.write(piece); }, share, buffers);
}

}  // namespace tessarel
