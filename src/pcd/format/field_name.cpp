#include "pcd/format/field_name.hpp"

#include <cstddef>
#include <cstdint>

namespace tessarel {
namespace {

// Control characters (C0, DEL and C1) and every character Unicode counts as whitespace.
bool breaks_a_name(std::uint32_t code) noexcept {
    if (code <= 0x20 || (code >= 0x7f && code <= 0xa0)) return true;
    if (code == 0x1680 || (code >= 0x2000 && code <= 0x200a)) return true;
    return code == 0x2028 || code == 0x2029 || code == 0x202f || code == 0x205f || code == 0x3000;
}

// The UTF-8 sequence at the start of `text`: its length and code point. A byte that starts
// no well-formed sequence is one replacement character, which breaks nothing.
struct Character {
    std::size_t length;
    std::uint32_t code;
};

Character next_character(std::string_view text) noexcept {
    const auto lead = static_cast<unsigned char>(text[0]);
    const std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0x80 ? 2 : 1;
    constexpr Character not_utf8{1, 0xfffd};
    if (length == 1) return {1, lead};
    if (lead < 0xc0 || lead >= 0xf8 || text.size() < length) return not_utf8;
    std::uint32_t code = lead & (0x7fu >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xc0) != 0x80) return not_utf8;
        code = code << 6 | (byte & 0x3f);
    }
    return {length, code};
}

}  // namespace

bool is_writable_name(std::string_view name) noexcept {
    if (name.empty()) return false;
    while (!name.empty()) {
        const Character character = next_character(name);
        if (breaks_a_name(character.code)) return false;
        name.remove_prefix(character.length);
    }
    return true;
}

}  // namespace tessarel
