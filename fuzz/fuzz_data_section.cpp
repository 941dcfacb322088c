// Arbitrary bytes as the data section behind a valid header. The first byte picks the
// encoding and the field mix, so the fuzzer spends its time inside the decoders rather than
// learning the header syntax. ASCII text is decoded twice, the second time in chunks of a
// few bytes, and both must agree: every token cut by a chunk boundary is read whole.

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <sstream>
#include <string>
#include <string_view>

#include "cloud_checks.hpp"
#include "pcd/ascii_decoder.hpp"

namespace {

constexpr std::array<std::string_view, 3> encodings = {"ascii", "binary", "binary_compressed"};

struct FieldMix {
    std::string_view fields, sizes, types, counts;
};

constexpr std::array<FieldMix, 4> mixes = {{
    {"x y z intensity", "4 4 4 4", "F F F F", "1 1 1 1"},
    {"x y z rgb normal_x normal_y normal_z curvature label ring", "4 4 4 4 4 4 4 4 4 2",
     "F F F F F F F F U U", "1 1 1 1 1 1 1 1 1 1"},
    {"x _ y z t h v", "8 1 4 4 8 2 1", "F U F F F I I", "1 3 1 1 1 2 4"},
    {"x y z a b c d", "4 4 4 1 8 8 2", "F F F U I F u", "1 1 1 1 1 2 1"},
}};

// The decoded bytes, or the error message.
std::string outcome(const std::string& file, std::size_t chunk_bytes) {
    std::istringstream in(file);
    try {
        const tessarel::PcdLayout layout = tessarel::make_layout(tessarel::parse_pcd_header(in));
        const tessarel::PointBuffer buffer = tessarel::read_ascii_data(in, layout, chunk_bytes);
        return {reinterpret_cast<const char*>(buffer.data()), buffer.size()};
    } catch (const std::exception& error) {
        return std::string("error: ") + error.what();
    }
}

void compare_chunked(const std::string& file, std::size_t chunk_bytes) {
    tessarel::fuzz::require(outcome(file, tessarel::ascii_chunk_bytes) == outcome(file, chunk_bytes));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const FieldMix& mix = mixes[data[0] % mixes.size()];
    const std::string_view encoding = encodings[(data[0] / mixes.size()) % encodings.size()];
    const unsigned points = data[1];
    std::string file = "VERSION .7\nFIELDS " + std::string(mix.fields) + "\nSIZE " + std::string(mix.sizes) +
                       "\nTYPE " + std::string(mix.types) + "\nCOUNT " + std::string(mix.counts) +
                       "\nWIDTH " + std::to_string(points) + "\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS " +
                       std::to_string(points) + "\nDATA " + std::string(encoding) + "\n";
    file.append(reinterpret_cast<const char*>(data + 2), size - 2);
    std::istringstream in(file);
    try {
        tessarel::fuzz::check_cloud(tessarel::read_pcd(in));
    } catch (const std::exception&) {
    }
    if (encoding == "ascii") compare_chunked(file, 1 + data[1] % 61);
    return 0;
}
