#include "pcd/read/pcd_loader.hpp"

#include <filesystem>
#include <ios>
#include <stdexcept>

#include "pcd/io/file_name_check.hpp"
#include "pcd/io/memory_stream.hpp"
#include "pcd/parallel/cpu_share.hpp"
#include "pcd/read/ascii_decoder.hpp"
#include "pcd/read/binary_decoder.hpp"
#include "pcd/read/compressed_decoder.hpp"

namespace tessarel {

namespace {

PcdCloud point_records(PcdLayout layout, PointBuffer buffer) {
    std::vector<FieldPlacement> placements = record_placements(layout);
    return {std::move(layout), std::move(buffer), std::move(placements)};
}

// A file that opens may still fail to read (an I/O error, or a file of the kernel's that
// refuses reads): the standard library's own message names neither the file nor the cause.
template <class Read>
auto reading(const std::string& filename, Read read) {
    try {
        return read();
    } catch (const std::ios_base::failure& error) {
        throw std::runtime_error("Cannot read PCD file: " + filename + ": " + error.code().message());
    }
}

}  // namespace

PcdCloud read_pcd(std::istream& in) {
    PcdLayout layout = make_layout(parse_pcd_header(in));
    // Counted while its decoder runs: large loads and saves share the CPUs out.
    const LargeStage stage(layout.buffer_size >= large_buffer_bytes);
    switch (layout.encoding) {
    case Encoding::ascii: {
        PointBuffer buffer = read_ascii_data(in, layout, stage.share());
        return point_records(std::move(layout), std::move(buffer));
    }
    case Encoding::binary: {
        PointBuffer buffer = read_binary_data(in, layout, stage.share());
        return point_records(std::move(layout), std::move(buffer));
    }
    case Encoding::binary_compressed: {
        ColumnBlock block = read_compressed_data(in, layout, stage.share());
        return {std::move(layout), std::move(block.buffer), std::move(block.columns)};
    }
    }
    throw std::logic_error("unknown encoding");
}

PcdCloud read_pcd_buffer(std::span<const std::byte> bytes) {
    MemoryStreamBuf memory(bytes);
    std::istream in(&memory);
    return read_pcd(in);
}

std::ifstream open_pcd_file(const std::string& filename) {
    check_file_name(filename);
    // Only regular files: a directory would open and then fail to read, and a FIFO would
    // block the caller until some writer appears.
    std::error_code error;
    std::ifstream in;
    if (std::filesystem::is_regular_file(filename, error)) {
        in.open(filename, std::ios::in | std::ios::binary);
    }
    if (!in.is_open()) throw std::runtime_error("Cannot open PCD file: " + filename);
    return in;
}

PcdCloud read_pcd_file(const std::string& filename) {
    std::ifstream in = open_pcd_file(filename);
    return reading(filename, [&] { return read_pcd(in); });
}

PcdHeader read_pcd_header_file(const std::string& filename) {
    std::ifstream in = open_pcd_file(filename);
    PcdHeader header = reading(filename, [&] { return parse_pcd_header(in); });
    make_layout(header);
    return header;
}

}  // namespace tessarel
