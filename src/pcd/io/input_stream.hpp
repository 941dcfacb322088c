#pragma once
// Small helpers over the input stream that the data readers share.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

#include "pcd/io/interruption.hpp"
#include "pcd/io/memory_stream.hpp"

namespace tessarel {

// Bytes from the current position to the end of the stream, which is left where it was.
// A stream that stopped at the end of the file (a DATA line with no line end) counts as
// positioned at the end.
inline std::uint64_t remaining_bytes(std::istream& in) {
    in.clear();
    const auto here = in.tellg();
    in.seekg(0, std::ios::end);
    const auto end = in.tellg();
    in.seekg(here);
    if (here < 0 || end < here || !in) {
        throw std::runtime_error("Cannot determine the size of the PCD data section");
    }
    return static_cast<std::uint64_t>(end - here);
}

// Reads exactly `size` bytes; the caller has checked that the stream holds them. Read in
// pieces, between which the caller may stop the load.
inline void read_exactly(std::istream& in, void* into, std::size_t size) {
    constexpr std::size_t most = std::size_t{16} << 20;
    auto* at = static_cast<char*>(into);
    std::size_t done = 0;
    while (done < size) {
        check_for_interruption();
        const std::size_t piece = std::min(size - done, most);
        in.read(at + done, static_cast<std::streamsize>(piece));
        done += static_cast<std::size_t>(in.gcount());
        if (static_cast<std::size_t>(in.gcount()) != piece) {
            throw std::runtime_error("Reading the PCD data section failed after " + std::to_string(done) + " of " +
                                     std::to_string(size) + " bytes");
        }
    }
}

// The next `size` bytes where they lie, when `in` reads from memory; the stream then moves
// past them. The caller has checked that the stream holds them.
inline std::optional<std::span<const std::byte>> bytes_in_place(std::istream& in, std::size_t size) {
    auto* const memory = dynamic_cast<MemoryStreamBuf*>(in.rdbuf());
    if (!memory) return std::nullopt;
    return memory->take(size);
}

}  // namespace tessarel
