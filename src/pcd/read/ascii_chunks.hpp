#pragma once
// An "ascii" data section read a chunk of points at a time, so that a cloud of any size is read
// holding one chunk's values and one piece of its text.

#include <cstddef>
#include <cstdint>
#include <exception>

#include "pcd/format/pcd_layout.hpp"
#include "pcd/io/byte_buffer.hpp"
#include "pcd/io/input_source.hpp"
#include "pcd/read/ascii_decoder.hpp"
#include "pcd/read/ascii_points.hpp"
#include "pcd/read/ascii_text.hpp"
#include "pcd/read/field_selection.hpp"

namespace tessarel {

class AsciiChunks {
public:
    // Reads the text from the source's position to its end, `piece_bytes` at a time, as the
    // values of `layout`'s points; the source must outlive this.
    AsciiChunks(InputSource& in, const PcdLayout& layout, const FieldSelection& selection,
                std::size_t piece_bytes = ascii_piece_bytes);

    // The next `points` points, fewer at the cloud's end, none after it, laid out as
    // kept_layout(layout, selection, n) for the n returned. Errors are those of a whole load, with
    // points and values counted from the start of the cloud; after one, every call throws it.
    PointBuffer next(std::size_t points);

private:
    PointBuffer read(std::size_t points);

    PcdLayout layout_;
    PointTokens tokens_;
    std::uint64_t expected_;
    std::uint64_t text_bytes_;
    TextPieces text_;
    TextCursor at_;
    std::exception_ptr failure_;
};

}  // namespace tessarel
