#pragma once
// The one table from a PCD TYPE letter and SIZE to an element type. Everything else that
// needs to know what a field holds (dtypes, coordinate conversion, ASCII parsing) asks here.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace tessarel {

// Binary sections, compressed columns and the decoded buffer all hold values little-endian,
// copied as they are: the reader works on little-endian machines only.
static_assert(std::endian::native == std::endian::little,
              "tessarel reads PCD values in the host's byte order, which must be little-endian");

enum class ElementType : std::uint8_t { f32, f64, i8, i16, i32, i64, u8, u16, u32, u64 };

// How an ASCII token of the element's type is read.
enum class NumberKind : std::uint8_t { floating, signed_integer, unsigned_integer };

struct ElementTypeEntry {
    char type;
    std::int32_t size;
    ElementType element;
    NumberKind kind;
};

inline constexpr std::array<ElementTypeEntry, 10> element_types{{
    {'F', 4, ElementType::f32, NumberKind::floating},
    {'F', 8, ElementType::f64, NumberKind::floating},
    {'I', 1, ElementType::i8, NumberKind::signed_integer},
    {'I', 2, ElementType::i16, NumberKind::signed_integer},
    {'I', 4, ElementType::i32, NumberKind::signed_integer},
    {'I', 8, ElementType::i64, NumberKind::signed_integer},
    {'U', 1, ElementType::u8, NumberKind::unsigned_integer},
    {'U', 2, ElementType::u16, NumberKind::unsigned_integer},
    {'U', 4, ElementType::u32, NumberKind::unsigned_integer},
    {'U', 8, ElementType::u64, NumberKind::unsigned_integer},
}};

constexpr char upper_case(char letter) noexcept {
    return letter >= 'a' && letter <= 'z' ? static_cast<char>(letter - 'a' + 'A') : letter;
}

// The element type of a TYPE letter (either case, as other writers use both) and SIZE, if
// the pair is supported.
constexpr std::optional<ElementType> element_type(char type, std::int32_t size) noexcept {
    for (const ElementTypeEntry& entry : element_types) {
        if (entry.type == upper_case(type) && entry.size == size) return entry.element;
    }
    return std::nullopt;
}

// The table lists the element types in their enum order.
constexpr const ElementTypeEntry& entry_of(ElementType element) noexcept {
    return element_types[static_cast<std::size_t>(element)];
}
static_assert(entry_of(ElementType::f64).size == 8 && entry_of(ElementType::u64).type == 'U');

constexpr std::size_t element_size(ElementType element) noexcept {
    return static_cast<std::size_t>(entry_of(element).size);
}

constexpr NumberKind number_kind(ElementType element) noexcept { return entry_of(element).kind; }

// Calls `visitor` with a value-initialised object of the element's C++ type.
template <class Visitor>
[[gnu::always_inline]] constexpr decltype(auto) visit_element_type(ElementType type, Visitor&& visitor) {
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
