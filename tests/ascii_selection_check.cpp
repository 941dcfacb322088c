// Reads an ASCII PCD file through the core with a field selection, whole or in chunks, and
// prints what it read, for the tests that hold it against a whole load.
//   ascii_selection_check FILE PIECE_BYTES THREADS CHUNK_POINTS [NAME...]
// Prints `ok HEX` for the buffer, or `error MESSAGE`. With CHUNK_POINTS above 0, a line for
// each chunk up to the first empty one, then `end`; an error ends the lines.

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "pcd/io/file_source.hpp"
#include "pcd/read/ascii_chunks.hpp"
#include "pcd/read/ascii_decoder.hpp"

namespace {

using namespace tessarel;

void print(const PointBuffer& buffer) {
    std::printf("ok ");
    for (const std::byte byte : buffer.bytes()) std::printf("%02x", static_cast<unsigned>(byte));
    std::printf("\n");
}

void read(const char* path, std::size_t piece_bytes, int threads, std::size_t chunk_points,
          const std::vector<std::string>& names) {
    FileSource in(path);
    const PcdLayout layout = make_layout(parse_pcd_header(in));
    const FieldSelection selection = names.empty() ? select_all(layout) : select_fields(layout, names);
    if (chunk_points == 0) return print(read_ascii_data(in, layout, selection, CpuShare{threads}, piece_bytes));
    AsciiChunks chunks(in, layout, selection, piece_bytes);
    while (true) {
        const PointBuffer chunk = chunks.next(chunk_points);
        print(chunk);
        if (chunk.size() == 0) break;
    }
    std::printf("end\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s FILE PIECE_BYTES THREADS CHUNK_POINTS [NAME...]\n", argv[0]);
        return 2;
    }
    try {
        read(argv[1], std::strtoull(argv[2], nullptr, 10), std::atoi(argv[3]), std::strtoull(argv[4], nullptr, 10),
             {argv + 5, argv + argc});
    } catch (const std::exception& error) {
        std::printf("error %s\n", error.what());
    }
    return 0;
}
