#include "pcd/pcd_reader.hpp"

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "pcd/ascii_decoder.hpp"
#include "pcd/compressed_reader.hpp"
#include "pcd/input_stream.hpp"
#include "pcd/page_prefault.hpp"

namespace tessarel {

PointBuffer read_binary_data(std::istream& in, std::size_t buffer_size) {
    // Checked before allocating, so a small file that declares a huge cloud costs nothing.
    const std::uint64_t available = remaining_bytes(in);
    if (available < buffer_size) {
        throw std::runtime_error("PCD binary data is truncated: expected " +
                                 std::to_string(buffer_size) + " bytes, the file holds " +
                                 std::to_string(available));
    }
    PointBuffer buffer(buffer_size, Fill::overwritten);
    const BackgroundPrefault prefault({buffer.bytes()});
    read_exactly(in, buffer.data(), buffer_size);
    return buffer;
}

namespace {

PointBuffer read_data_section(std::istream& in, const PcdHeader& header, std::size_t buffer_size) {
    if (header.data == "binary") return read_binary_data(in, buffer_size);
    if (header.data == "ascii") return read_ascii_data(in, header, buffer_size);
    if (header.data == "binary_compressed") return read_compressed_data(in, header, buffer_size);
    throw std::runtime_error("Unsupported PCD DATA type: " + header.data);
}

}  // namespace

PcdCloud read_pcd(std::istream& in) {
    PcdHeader header = parse_pcd_header(in);
    const Coordinates xyz = find_coordinates(header);
    const std::size_t buffer_size = validate_layout(header);
    PointBuffer buffer = read_data_section(in, header, buffer_size);
    return {std::move(header), xyz, std::move(buffer)};
}

PcdCloud read_pcd_file(const std::string& filename) {
    if (filename.find('\0') != std::string::npos) {
        throw std::invalid_argument("PCD file name contains a NUL byte");
    }
    // Only regular files: a directory would open and then fail to read, and a FIFO would
    // block the caller until some writer appears.
    std::error_code error;
    std::ifstream in;
    if (std::filesystem::is_regular_file(filename, error)) {
        in.open(filename, std::ios::in | std::ios::binary);
    }
    if (!in.is_open()) throw std::runtime_error("Cannot open PCD file: " + filename);
    return read_pcd(in);
}

}  // namespace tessarel
