#pragma once
// Small helpers over the input stream that the data readers share.

#include <cstdint>
#include <istream>
#include <stdexcept>

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

// Reads exactly `size` bytes; the caller has checked that the stream holds them.
inline void read_exactly(std::istream& in, void* into, std::uint64_t size) {
    in.read(static_cast<char*>(into), static_cast<std::streamsize>(size));
    if (static_cast<std::uint64_t>(in.gcount()) != size) {
        throw std::runtime_error("Reading the PCD data section failed after " +
                                 std::to_string(in.gcount()) + " of " + std::to_string(size) +
                                 " bytes");
    }
}

}  // namespace tessarel
