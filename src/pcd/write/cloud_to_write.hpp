#pragma once
// What a save writes: the record layout of its fields, where each field's values lie in
// memory, in any strides and either byte order, and the header's metadata. The caller keeps
// the memory alive and unchanged while the save runs.

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "pcd/format/encoding.hpp"
#include "pcd/format/record_layout.hpp"

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

struct CloudToWrite {
    RecordLayout record;              // x, y, z first; a COUNT of 0 or more, 1 for x, y and z
    std::vector<FieldValues> values;  // where the values of each of the record's fields lie
    std::size_t points = 0;
    std::uint64_t width = 0;
    std::uint64_t height = 1;
    std::array<double, 7> viewpoint{0, 0, 0, 1, 0, 0, 0};  // tx ty tz qw qx qy qz
    Encoding encoding = Encoding::binary;
};

}  // namespace tessarel
