#pragma once
// The limits this reader and writer hold PCD files to: facts of the format, such as 32-bit
// block sizes, and bounds past which an input is refused rather than held in memory.

#include <cstddef>
#include <cstdint>
#include <limits>

namespace tessarel {

// Header lines longer than this are refused: no PCD header needs them, and a file that is
// not PCD at all would otherwise be held whole as one line.
inline constexpr std::size_t max_header_line = std::size_t{16} << 20;

// The longest ASCII token read: far beyond any number, short enough to hold in memory.
inline constexpr std::size_t max_ascii_token = std::size_t{16} << 20;

// The most bytes one cloud may take: what the address space can index.
inline constexpr std::uint64_t max_cloud_bytes = sizeof(void*) < 8 ? 0x7fffffffu : 0x7fffffffffffffffu;

// The most bytes of columns one binary_compressed block holds: its sizes are 32-bit.
inline constexpr std::uint64_t max_block_bytes = std::numeric_limits<std::uint32_t>::max();

// The most points, and the widest or tallest cloud, a saved file may declare: what the header
// reader holds, a signed 64-bit count. binary_compressed holds far fewer, as its block does.
inline constexpr std::uint64_t max_points = std::numeric_limits<std::int64_t>::max();

}  // namespace tessarel
