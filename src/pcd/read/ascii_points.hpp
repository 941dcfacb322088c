#pragma once
// Points read from ASCII text: which tokens of a point are kept and where they go, the loops
// that read them, and the errors that stop them. A whole load, its parallel parse and a cloud
// read in chunks all read their tokens here. Tokens of fields not kept are counted but never
// parsed, so a point's structure is checked whatever is kept.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "pcd/format/pcd_layout.hpp"
#include "pcd/read/ascii_number.hpp"
#include "pcd/read/ascii_text.hpp"
#include "pcd/read/field_selection.hpp"

namespace tessarel {

// The tokens of one field in a point: `count` consecutive ones, stored `element_bytes` apart
// from `offset` in the kept record. A field not kept has offset and element size 0, so that
// stepping over its tokens never moves where values are stored; its tokens and those of the
// fields not kept right after it are passed over together.
struct FieldTokens {
    std::size_t offset;
    std::size_t element_bytes;
    std::size_t count;
    ElementType type;
    bool kept;
    std::uint32_t field;        // index into the layout's fields, for messages
    std::uint64_t run = 0;      // not kept: the tokens from this field's first to the next kept one
    std::size_t run_slots = 0;  // and the slots they fill
};

struct PointTokens {
    std::vector<FieldTokens> slots;  // fields of COUNT 0 have none
    std::uint64_t values = 0;        // the tokens of a point, kept or not
    std::size_t point_step = 0;      // of the kept record
    bool keeps_all = true;
};

PointTokens point_tokens(const PcdLayout& layout, const FieldSelection& selection);

// The tokens of the whole cloud. Each takes a byte at least of a record, so their count is
// within the cloud's bytes, which its layout bounds.
inline std::uint64_t cloud_values(const PcdLayout& layout, const PointTokens& tokens) {
    return std::uint64_t{layout.points} * tokens.values;
}

// Where reading stopped: at the end of the points asked for, or at the value that failed.
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

// How far reading of one text has come, kept from one call to the next: the rest of the piece
// in hand, and the points and values read, counted from the start of the cloud.
struct TextCursor {
    const char* next = nullptr;
    const char* end = nullptr;
    std::uint64_t point = 0;
    std::uint64_t values_read = 0;
    std::uint64_t handed_out = 0;  // bytes of text in the pieces taken so far

    // The bytes of a text of `text_bytes` not read yet.
    std::uint64_t unread(std::uint64_t text_bytes) const noexcept {
        return text_bytes - handed_out + static_cast<std::uint64_t>(end - next);
    }
};

// Reads the next `points` points of `text` into the kept records from `records` on, or only
// checks them where `records` is null, and moves `at` past them.
Stop read_points(TextPieces& text, TextCursor& at, const PointTokens& tokens, std::uint64_t points, std::byte* records);

// Reads the next `values` tokens of `piece`, which held that many when they were counted, into
// the kept records at `records`; the first is value `first` of the cloud, counted over every
// point's slots. Text in memory that the caller rewrites meanwhile may hold fewer now: every
// scan stays inside the piece whatever its bytes.
Stop read_piece(std::span<const char> piece, const PointTokens& tokens, std::uint64_t first, std::uint64_t values,
                std::byte* records);

// The error a failed read reports, with the cloud's `expected` values.
[[noreturn]] void throw_read_error(const Stop& stop, const PcdLayout& layout, std::uint64_t expected);

}  // namespace tessarel
