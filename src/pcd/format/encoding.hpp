#pragma once
// The encodings of a data section, with the DATA value that names each, and the field name
// that marks padding.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tessarel {

enum class Encoding : std::uint8_t { ascii, binary, binary_compressed };

// The DATA value of each encoding, in the enum's order.
inline constexpr std::array<std::string_view, 3> encoding_names{"ascii", "binary", "binary_compressed"};

constexpr std::string_view encoding_name(Encoding encoding) noexcept {
    return encoding_names[static_cast<std::size_t>(encoding)];
}

constexpr std::optional<Encoding> encoding_named(std::string_view name) noexcept {
    for (std::size_t i = 0; i < encoding_names.size(); ++i) {
        if (encoding_names[i] == name) return static_cast<Encoding>(i);
    }
    return std::nullopt;
}

// Bytes a field of this name holds are padding: writers disagree on whether a compressed
// block has columns for them.
inline constexpr std::string_view padding_name = "_";

}  // namespace tessarel
