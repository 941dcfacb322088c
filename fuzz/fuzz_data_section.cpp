// Arbitrary bytes as the data section behind a valid header. The first byte picks the
// encoding and the field mix, so the fuzzer spends its time inside the decoders rather than
// learning the header syntax.

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <sstream>
#include <string>
#include <string_view>

#include "cloud_checks.hpp"

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
    {"x y z a b c", "4 4 4 1 8 3", "F F F U I F", "1 1 1 1 1 2"},
}};

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
    return 0;
}
