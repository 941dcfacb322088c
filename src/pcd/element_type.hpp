#pragma once
// The one table from a PCD TYPE letter and SIZE to an element type. Everything else that
// needs to know what a field holds (dtypes, coordinate conversion, ASCII parsing) asks here.

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>

namespace tessarel {

enum class ElementType : std::uint8_t { f32, f64, i8, i16, i32, i64, u8, u16, u32, u64 };

struct ElementTypeEntry {
    char type;
    std::int32_t size;
    ElementType element;
};

inline constexpr std::array<ElementTypeEntry, 10> element_types{{
    {'F', 4, ElementType::f32}, {'F', 8, ElementType::f64},
    {'I', 1, ElementType::i8},  {'I', 2, ElementType::i16}, {'I', 4, ElementType::i32}, {'I', 8, ElementType::i64},
    {'U', 1, ElementType::u8},  {'U', 2, ElementType::u16}, {'U', 4, ElementType::u32}, {'U', 8, ElementType::u64},
}};

// The element type of a TYPE letter (case-sensitive) and SIZE, if the pair is supported.
constexpr std::optional<ElementType> element_type(char type, std::int32_t size) noexcept {
    for (const ElementTypeEntry& entry : element_types) {
        if (entry.type == type && entry.size == size) return entry.element;
    }
    return std::nullopt;
}

inline constexpr const char* unsupported_type_message = "Unsupported PCD type/size";

// The element type a field must have to be returned; no other TYPE and SIZE can load.
inline ElementType required_element_type(char type, std::int32_t size) {
    const auto element = element_type(type, size);
    if (!element) throw std::runtime_error(unsupported_type_message);
    return *element;
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
