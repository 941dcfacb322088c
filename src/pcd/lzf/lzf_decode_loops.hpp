#pragma once
// The instruction loops that both LZF decoders run: the block decoder over one output span,
// and the streaming decoder over its window.

#include <array>
#include <cstddef>
#include <cstring>
#include <system_error>

#include "pcd/lzf/lzf_format.hpp"

namespace tessarel::lzf_loops {

// Wide moves write whole chunks, so they may run past the end of an instruction's output
// while the output has room: the instructions after it overwrite those bytes.

// Each move reads bytes at least Width back, all of them written before it starts.
template <std::size_t Width>
inline void copy_in_moves(std::byte* op, std::size_t distance, std::size_t length) noexcept {
    for (std::size_t done = 0; done < length; done += Width) std::memcpy(op + done, op + done - distance, Width);
}

inline void copy_bytewise(std::byte* op, std::size_t distance, std::size_t length) noexcept {
    const std::byte* from = op - distance;
    for (std::size_t i = 0; i < length; ++i) op[i] = from[i];
}

// A reference at a distance below 8 repeats a pattern of that period, so every multiple of
// the distance gives the same bytes too. Once the first 8 bytes are written one by one, the
// smallest multiple of at least 8 reaches back only to bytes that exist.
inline constexpr std::array<std::size_t, 8> move_distance = {0, 8, 8, 9, 8, 10, 12, 14};
inline constexpr std::size_t first_move = 8;

// Copies `length` bytes from `distance` back. It writes 8 bytes, then 8 or 16 at a time:
// never more than the longest reference, which `op` must have room for. Most references
// are short and far, so one 8-byte move does them.
inline void copy_reference(std::byte* op, std::size_t distance, std::size_t length) noexcept {
    if (distance >= first_move) {
        std::memcpy(op, op - distance, first_move);
        if (length <= first_move) return;
        if (distance >= 16) return copy_in_moves<16>(op + first_move, distance, length - first_move);
        return copy_in_moves<8>(op + first_move, distance, length - first_move);
    }
    copy_bytewise(op, distance, first_move);
    if (length > first_move) copy_in_moves<8>(op + first_move, move_distance[distance], length - first_move);
}

struct Cursor {
    const std::byte* ip;
    std::byte* op;
};

// The input one instruction can take: a control byte and a literal run.
inline constexpr std::size_t instruction_reach = 1 + lzf_longest_literal;

// Decodes while both buffers have room for any instruction and its moves. There only a
// reference before the output's start can fail; then `at` stops at its control byte.
inline std::errc decode_far_from_ends(Cursor& at, const std::byte* in_end, std::byte* out_begin,
                                      std::byte* out_end) noexcept {
    const std::byte* ip = at.ip;
    std::byte* op = at.op;
    std::errc ec{};
    while (in_end - ip >= static_cast<std::ptrdiff_t>(instruction_reach) &&
           out_end - op >= static_cast<std::ptrdiff_t>(lzf_longest_reference)) {
        const unsigned control = std::to_integer<unsigned>(ip[0]);
        if (control < lzf_literal_codes) {
            const std::size_t length = control + 1;
            std::memcpy(op, ip + 1, lzf_longest_literal);
            ip += 1 + length;
            op += length;
            continue;
        }
        std::size_t length = (control >> 5) + 2;
        std::size_t used = 2;
        if (control >> 5 == lzf_long_length_code) {
            length += std::to_integer<std::size_t>(ip[1]);
            used = 3;
        }
        const std::size_t distance = ((control & 0x1fU) << 8) + std::to_integer<std::size_t>(ip[used - 1]) + 1;
        if (distance > static_cast<std::size_t>(op - out_begin)) {
            ec = std::errc::invalid_argument;
            break;
        }
        copy_reference(op, distance, length);
        ip += used;
        op += length;
    }
    at = {ip, op};
    return ec;
}

// Decodes the last instructions, exactly and with every bound checked before each one, in
// liblzf's order. On failure `at` stops at the failing control byte. With `more_input` the
// block goes on past `in_end`, so it stops where an instruction could run past it.
inline std::errc decode_near_ends(Cursor& at, const std::byte* in_end, bool more_input, std::byte* out_begin,
                                  std::byte* out_end) noexcept {
    while (at.ip != in_end) {
        if (more_input && in_end - at.ip < static_cast<std::ptrdiff_t>(instruction_reach)) break;
        const std::byte* ip = at.ip + 1;
        std::byte* const op = at.op;
        const unsigned control = std::to_integer<unsigned>(at.ip[0]);
        const auto out_left = static_cast<std::size_t>(out_end - op);
        if (control < lzf_literal_codes) {
            const std::size_t length = control + 1;
            if (length > out_left) return std::errc::argument_list_too_long;
            if (length > static_cast<std::size_t>(in_end - ip)) return std::errc::invalid_argument;
            std::memcpy(op, ip, length);
            at = {ip + length, op + length};
            continue;
        }
        std::size_t length = (control >> 5) + 2;
        if (ip == in_end) return std::errc::invalid_argument;
        if (control >> 5 == lzf_long_length_code) {
            length += std::to_integer<std::size_t>(*ip++);
            if (ip == in_end) return std::errc::invalid_argument;
        }
        const std::size_t distance = ((control & 0x1fU) << 8) + std::to_integer<std::size_t>(*ip++) + 1;
        if (length > out_left) return std::errc::argument_list_too_long;
        if (distance > static_cast<std::size_t>(op - out_begin)) return std::errc::invalid_argument;
        copy_bytewise(op, distance, length);
        at = {ip, op + length};
    }
    return std::errc{};
}

}  // namespace tessarel::lzf_loops
