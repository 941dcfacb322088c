#pragma once
// The PCD file that the data_section fuzz target makes of its input: the first byte picks the
// encoding and the field mix, the second the point count, and the rest is the data section.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "pcd/format/encoding.hpp"

namespace tessarel::fuzz {

struct FieldMix {
    std::string_view fields, sizes, types, counts;
};

inline constexpr std::array<FieldMix, 4> mixes = {{
    {"x y z intensity", "4 4 4 4", "F F F F", "1 1 1 1"},
    {"x y z rgb normal_x normal_y normal_z curvature label ring", "4 4 4 4 4 4 4 4 4 2", "F F F F F F F F U U",
     "1 1 1 1 1 1 1 1 1 1"},
    {"x _ y z t h v", "8 1 4 4 8 2 1", "F U F F F I I", "1 3 1 1 1 2 4"},
    {"x y z a b c d", "4 4 4 1 8 8 2", "F F F U I F u", "1 1 1 1 1 2 1"},
}};

inline Encoding data_section_encoding(const std::uint8_t* data) {
    return static_cast<Encoding>((data[0] / mixes.size()) % encoding_names.size());
}

// `size` must be 2 or more.
inline std::string data_section_file(const std::uint8_t* data, std::size_t size) {
    const FieldMix& mix = mixes[data[0] % mixes.size()];
    const unsigned points = data[1];
    std::string file = "VERSION .7\nFIELDS " + std::string(mix.fields) + "\nSIZE " + std::string(mix.sizes) +
                       "\nTYPE " + std::string(mix.types) + "\nCOUNT " + std::string(mix.counts) + "\nWIDTH " +
                       std::to_string(points) + "\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS " +
                       std::to_string(points) + "\nDATA " + std::string(encoding_name(data_section_encoding(data))) +
                       "\n";
    file.append(reinterpret_cast<const char*>(data + 2), size - 2);
    return file;
}

}  // namespace tessarel::fuzz
