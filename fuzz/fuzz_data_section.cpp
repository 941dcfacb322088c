// Arbitrary bytes as the data section behind a valid header. The first byte picks the
// encoding and the field mix, so the fuzzer spends its time inside the decoders rather than
// learning the header syntax. ASCII text is decoded four times, and all must agree: whole on
// one thread, then in pieces of a few bytes on one thread and on several, copied as from a
// file and in place as from memory, so that every token cut by a piece boundary is read whole,
// the threads report the fault that comes first, and text in memory is parsed inside its pieces.
// It is also read with some fields only, the same four ways and in chunks, which must give the
// kept fields of the whole read, or its error unless that is a bad value in a field not kept.
// A compressed block is also decoded keeping every other field, copied and in place: each
// must end with the whole decode's error or keep exactly its columns of those fields.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <vector>

#include "cloud_checks.hpp"
#include "copied_source.hpp"
#include "data_section_file.hpp"
#include "pcd/io/memory_source.hpp"
#include "pcd/read/ascii_chunks.hpp"
#include "pcd/read/ascii_decoder.hpp"
#include "pcd/read/compressed_decoder.hpp"
#include "pcd/read/field_selection.hpp"

namespace {

using tessarel::FieldSelection;

const std::string error_mark = "error: ";

// How a text is read: whole in pieces of `piece_bytes` on `threads`, or in chunks of
// `chunk_points` when that is not 0.
struct Reading {
    std::size_t piece_bytes = tessarel::ascii_piece_bytes;
    int threads = 1;
    std::size_t chunk_points = 0;
};

tessarel::PointBuffer read_whole(tessarel::InputSource& in, const tessarel::PcdLayout& layout,
                                 const FieldSelection& kept, const Reading& reading) {
    return tessarel::read_ascii_data(in, layout, kept, tessarel::CpuShare{reading.threads}, reading.piece_bytes);
}

// Every chunk holds as many points as asked for, fewer only at the cloud's end, none after it.
std::string read_in_chunks(tessarel::InputSource& in, const tessarel::PcdLayout& layout, const FieldSelection& kept,
                           const Reading& reading) {
    tessarel::AsciiChunks chunks(in, layout, kept, reading.piece_bytes);
    const std::size_t step = tessarel::kept_layout(layout, kept, 0).point_step;
    std::string bytes;
    for (std::size_t done = 0;; done += reading.chunk_points) {
        const tessarel::PointBuffer chunk = chunks.next(reading.chunk_points);
        const std::size_t points = done < layout.points ? std::min(reading.chunk_points, layout.points - done) : 0;
        tessarel::fuzz::require(chunk.size() == points * step);
        if (points == 0) return bytes;
        bytes.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
    }
}

// Field i is kept where bit i of `mask` is set, and x, y and z always.
FieldSelection selection_of(const tessarel::PcdLayout& layout, unsigned mask) {
    FieldSelection kept{std::vector<bool>(layout.fields.size())};
    for (std::size_t i = 0; i < kept.kept.size(); ++i) kept.kept[i] = i < 32 && (mask >> i) & 1;
    for (const std::size_t index : layout.xyz) kept.kept[index] = true;
    return kept;
}

constexpr unsigned every_field = ~0u;

// The decoded bytes of the fields that `mask` keeps, or the error message.
std::string outcome(tessarel::InputSource& in, unsigned mask, const Reading& reading) {
    try {
        const tessarel::PcdLayout layout = tessarel::make_layout(tessarel::parse_pcd_header(in));
        const FieldSelection kept = selection_of(layout, mask);
        if (reading.chunk_points > 0) return read_in_chunks(in, layout, kept, reading);
        const tessarel::PointBuffer buffer = read_whole(in, layout, kept, reading);
        return {reinterpret_cast<const char*>(buffer.data()), buffer.size()};
    } catch (const std::exception& error) {
        return error_mark + error.what();
    }
}

std::span<const std::byte> bytes_of(const std::string& file) { return std::as_bytes(std::span(file)); }

std::string copied(const std::string& file, unsigned mask, const Reading& reading) {
    tessarel::fuzz::CopiedSource in(bytes_of(file));
    return outcome(in, mask, reading);
}

// From memory the pieces are the text where it lies, each parsed up to its own end only: held
// in a block of its exact size, so that a sanitizer sees any read past it.
std::string in_memory(const std::string& file, unsigned mask, const Reading& reading) {
    const std::vector<std::byte> bytes(reinterpret_cast<const std::byte*>(file.data()),
                                       reinterpret_cast<const std::byte*>(file.data() + file.size()));
    tessarel::MemorySource in(bytes);
    return outcome(in, mask, reading);
}

// More threads than this machine may have CPUs, so that pieces are taken in every order.
constexpr int parallel_threads = 3;

// Every way of reading the fields of `mask` agrees with the first; returns its outcome.
std::string compare_in_pieces(const std::string& file, unsigned mask, std::size_t piece_bytes,
                              std::size_t chunk_points) {
    const std::string whole = copied(file, mask, {});
    tessarel::fuzz::require(whole == copied(file, mask, {piece_bytes, 1}));
    tessarel::fuzz::require(whole == copied(file, mask, {piece_bytes, parallel_threads}));
    tessarel::fuzz::require(whole == in_memory(file, mask, {piece_bytes, parallel_threads}));
    tessarel::fuzz::require(whole == copied(file, mask, {piece_bytes, 1, chunk_points}));
    tessarel::fuzz::require(whole == in_memory(file, mask, {piece_bytes, 1, chunk_points}));
    return whole;
}

// The kept fields' bytes of each point, from the records of every field.
std::string kept_bytes(const std::string& records, const tessarel::PcdLayout& layout, const FieldSelection& kept) {
    std::string bytes;
    for (std::size_t at = 0; at < records.size(); at += layout.point_step) {
        for (const std::size_t i : tessarel::kept_indices(kept)) {
            bytes.append(records, at + layout.fields[i].offset, layout.fields[i].bytes());
        }
    }
    return bytes;
}

// Whether `error` is a bad value of a field that `kept` leaves out. The mixes' names are plain
// and unique, and the first field named in the message is the one whose value is bad.
bool bad_value_left_out(const std::string& error, const tessarel::PcdLayout& layout, const FieldSelection& kept) {
    if (!error.starts_with(error_mark + "ASCII PCD data, point ")) return false;
    const std::string before = ", field '";
    const std::size_t start = error.find(before) + before.size();
    const std::string name = error.substr(start, error.find('\'', start) - start);
    for (std::size_t i = 0; i < layout.fields.size(); ++i) {
        if (layout.fields[i].name == name) return !kept.kept[i];
    }
    return false;
}

// A selection gives the kept fields of the whole read, or its error; or, where the whole read
// stopped at a bad value of a field left out, whatever the rest of the text holds for it.
void compare_selection(const std::string& file, const std::string& whole, unsigned mask, std::size_t piece_bytes,
                       std::size_t chunk_points) {
    const std::string selected = compare_in_pieces(file, mask, piece_bytes, chunk_points);
    tessarel::fuzz::CopiedSource in(bytes_of(file));
    const tessarel::PcdLayout layout = tessarel::make_layout(tessarel::parse_pcd_header(in));
    const FieldSelection kept = selection_of(layout, mask);
    if (!whole.starts_with(error_mark)) return tessarel::fuzz::require(selected == kept_bytes(whole, layout, kept));
    if (!bad_value_left_out(whole, layout, kept)) tessarel::fuzz::require(selected == whole);
}

// The columns of every other field, or the error message, from a whole decode or from one
// that keeps only those fields.
std::string every_other_column(tessarel::InputSource& in, bool selected) {
    try {
        const tessarel::PcdLayout layout = tessarel::make_layout(tessarel::parse_pcd_header(in));
        tessarel::FieldSelection every_other{std::vector<bool>(layout.fields.size())};
        for (std::size_t i = 0; i < layout.fields.size(); i += 2) every_other.kept[i] = true;
        const tessarel::ColumnBlock block = tessarel::read_compressed_data(
            in, layout, selected ? every_other : tessarel::select_all(layout), tessarel::CpuShare{1});
        std::string text;
        const std::vector<std::size_t> kept = tessarel::kept_indices(every_other);
        for (std::size_t k = 0; k < kept.size(); ++k) {
            const tessarel::FieldPlacement& place = block.columns[selected ? k : kept[k]];
            text += std::to_string(place.present) + ' ' + std::to_string(place.stride) + ' ';
            if (!place.present) continue;
            text.append(reinterpret_cast<const char*>(block.buffer.data() + place.base),
                        layout.points * layout.fields[kept[k]].bytes());
        }
        return text;
    } catch (const std::exception& error) {
        return std::string("error: ") + error.what();
    }
}

void compare_selected_columns(const std::string& file) {
    tessarel::fuzz::CopiedSource whole_in(bytes_of(file));
    const std::string whole = every_other_column(whole_in, false);
    tessarel::fuzz::CopiedSource copied_in(bytes_of(file));
    tessarel::fuzz::require(every_other_column(copied_in, true) == whole);
    tessarel::MemorySource in_place(bytes_of(file));
    tessarel::fuzz::require(every_other_column(in_place, true) == whole);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::string file = tessarel::fuzz::data_section_file(data, size);
    tessarel::fuzz::CopiedSource in(bytes_of(file));
    try {
        tessarel::fuzz::check_cloud(tessarel::read_pcd(in), file.size());
    } catch (const std::exception&) {}
    if (tessarel::fuzz::data_section_encoding(data) == tessarel::Encoding::binary_compressed) {
        compare_selected_columns(file);
        return 0;
    }
    if (tessarel::fuzz::data_section_encoding(data) != tessarel::Encoding::ascii) return 0;
    const std::size_t piece_bytes = 1 + data[1] % 61;
    const std::size_t chunk_points = 1 + data[1] % 5;
    const std::string whole = compare_in_pieces(file, every_field, piece_bytes, chunk_points);
    // The two bytes that pick the header pick the fields kept too.
    compare_selection(file, whole, (data[0] << 8 | data[1]) * 0x9e3779b9u >> 22, piece_bytes, chunk_points);
    return 0;
}
