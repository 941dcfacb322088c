#pragma once
// PointCloud2's datatype codes for the element types they name; it has no 64-bit integers.

#include <array>
#include <cstdint>
#include <optional>

#include "pcd/format/element_type.hpp"

namespace tessarel {

struct PointFieldType {
    std::uint8_t datatype;
    ElementType element;
};

inline constexpr std::array<PointFieldType, 8> point_field_types{{
    {1, ElementType::i8},
    {2, ElementType::u8},
    {3, ElementType::i16},
    {4, ElementType::u16},
    {5, ElementType::i32},
    {6, ElementType::u32},
    {7, ElementType::f32},
    {8, ElementType::f64},
}};

constexpr std::optional<ElementType> element_of_datatype(std::int64_t datatype) noexcept {
    for (const PointFieldType& entry : point_field_types) {
        if (entry.datatype == datatype) return entry.element;
    }
    return std::nullopt;
}

constexpr std::optional<std::uint8_t> datatype_of_element(ElementType element) noexcept {
    for (const PointFieldType& entry : point_field_types) {
        if (entry.element == element) return entry.datatype;
    }
    return std::nullopt;
}

}  // namespace tessarel
