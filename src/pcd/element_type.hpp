#pragma once
// The one table from a PCD TYPE letter and SIZE to an element type. Everything else that
// needs to know what a field holds (dtypes, coordinate conversion, ASCII parsing) asks here.

#include <cstdint>
#include <optional>

namespace tessarel {

enum class ElementType : std::uint8_t { f32, f64, i8, i16, i32, i64, u8, u16, u32, u64 };

constexpr std::optional<ElementType> element_type(char type, std::int32_t size) noexcept {
    switch (type) {
    case 'F':
        if (size == 4) return ElementType::f32;
        if (size == 8) return ElementType::f64;
        return std::nullopt;
    case 'I':
        if (size == 1) return ElementType::i8;
        if (size == 2) return ElementType::i16;
        if (size == 4) return ElementType::i32;
        if (size == 8) return ElementType::i64;
        return std::nullopt;
    case 'U':
        if (size == 1) return ElementType::u8;
        if (size == 2) return ElementType::u16;
        if (size == 4) return ElementType::u32;
        if (size == 8) return ElementType::u64;
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

// Calls `visitor` with a value-initialised object of the element's C++ type.
template <class Visitor>
constexpr decltype(auto) visit_element_type(ElementType type, Visitor&& visitor) {
    switch (type) {
    case ElementType::f32: return visitor(float{});
    case ElementType::f64: return visitor(double{});
    case ElementType::i8: return visitor(std::int8_t{});
    case ElementType::i16: return visitor(std::int16_t{});
    case ElementType::i32: return visitor(std::int32_t{});
    case ElementType::i64: return visitor(std::int64_t{});
    case ElementType::u8: return visitor(std::uint8_t{});
    case ElementType::u16: return visitor(std::uint16_t{});
    case ElementType::u32: return visitor(std::uint32_t{});
    case ElementType::u64: return visitor(std::uint64_t{});
    }
    return visitor(std::uint8_t{});
}

}  // namespace tessarel
