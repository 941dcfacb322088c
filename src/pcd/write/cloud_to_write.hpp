#pragma once
// What a save writes: each field's type, count and where its values lie in memory, in any
// strides and either byte order, plus the header's metadata. The caller keeps the memory
// alive and unchanged while the save runs.

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "pcd/format/element_type.hpp"
#include "pcd/format/pcd_layout.hpp"

namespace tessarel {

// Element e of point i lies at first + i × point_stride + e × element_stride.
struct FieldValues {
    const std::byte* first = nullptr;
    std::ptrdiff_t point_stride = 0;
    std::ptrdiff_t element_stride = 0;
    bool byte_swapped = false;  // stored big-endian: swapped as it is written
};

// The value at `at`, whose bytes are in host order or, when `byte_swapped`, reversed.
template <class Value>
Value load_value(const std::byte* at, bool byte_swapped) noexcept {
    std::array<std::byte, sizeof(Value)> bytes;
    std::memcpy(bytes.data(), at, sizeof(Value));
    if (byte_swapped) std::reverse(bytes.begin(), bytes.end());
    return std::bit_cast<Value>(bytes);
}

struct FieldToWrite {
    std::string name;
    ElementType type;
    std::size_t count;  // 0 or more; 1 for x, y and z
    FieldValues values;

    std::size_t element_bytes() const noexcept { return element_size(type); }
    std::size_t bytes() const noexcept { return element_bytes() * count; }
};

struct CloudToWrite {
    std::vector<FieldToWrite> fields;  // x, y, z first
    std::size_t points = 0;
    std::uint64_t width = 0;
    std::uint64_t height = 1;
    std::array<double, 7> viewpoint{0, 0, 0, 1, 0, 0, 0};  // tx ty tz qw qx qy qz
    Encoding encoding = Encoding::binary;
};

}  // namespace tessarel
