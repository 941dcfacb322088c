// Arbitrary bytes as the data section behind a valid header. The first byte picks the
// encoding and the field mix, so the fuzzer spends its time inside the decoders rather than
// learning the header syntax. ASCII text is decoded four times, and all must agree: whole on
// one thread, then in pieces of a few bytes on one thread and on several, copied as from a
// file and in place as from memory, so that every token cut by a piece boundary is read whole,
// the threads report the fault that comes first, and text in memory is parsed inside its pieces.
// A compressed block is also decoded keeping every other field, copied and in place: each
// must end with the whole decode's error or keep exactly its columns of those fields.

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
#include "pcd/read/ascii_decoder.hpp"
#include "pcd/read/compressed_decoder.hpp"

namespace {

// The decoded bytes, or the error message.
std::string outcome(tessarel::InputSource& in, std::size_t piece_bytes, int threads) {
    try {
        const tessarel::PcdLayout layout = tessarel::make_layout(tessarel::parse_pcd_header(in));
        const tessarel::PointBuffer buffer =
            tessarel::read_ascii_data(in, layout, tessarel::CpuShare{threads}, piece_bytes);
        return {reinterpret_cast<const char*>(buffer.data()), buffer.size()};
    } catch (const std::exception& error) {
        return std::string("error: ") + error.what();
    }
}

std::span<const std::byte> bytes_of(const std::string& file) { return std::as_bytes(std::span(file)); }

std::string copied(const std::string& file, std::size_t piece_bytes, int threads) {
    tessarel::fuzz::CopiedSource in(bytes_of(file));
    return outcome(in, piece_bytes, threads);
}

// From memory the pieces are the text where it lies, each parsed up to its own end only: held
// in a block of its exact size, so that a sanitizer sees any read past it.
std::string in_memory(const std::string& file, std::size_t piece_bytes, int threads) {
    const std::vector<std::byte> bytes(reinterpret_cast<const std::byte*>(file.data()),
                                       reinterpret_cast<const std::byte*>(file.data() + file.size()));
    tessarel::MemorySource in(bytes);
    return outcome(in, piece_bytes, threads);
}

// More threads than this machine may have CPUs, so that pieces are taken in every order.
constexpr int parallel_threads = 3;

void compare_in_pieces(const std::string& file, std::size_t piece_bytes) {
    const std::string whole = copied(file, tessarel::ascii_piece_bytes, 1);
    tessarel::fuzz::require(whole == copied(file, piece_bytes, 1));
    tessarel::fuzz::require(whole == copied(file, piece_bytes, parallel_threads));
    tessarel::fuzz::require(whole == in_memory(file, piece_bytes, parallel_threads));
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
    if (tessarel::fuzz::data_section_encoding(data) == tessarel::Encoding::ascii)
        compare_in_pieces(file, 1 + data[1] % 61);
    if (tessarel::fuzz::data_section_encoding(data) == tessarel::Encoding::binary_compressed)
        compare_selected_columns(file);
    return 0;
}
