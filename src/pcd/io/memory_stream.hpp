#pragma once
// An input stream buffer over bytes in memory, so that the readers take a buffer as they take a
// file, without a copy of it. A reader that can use the bytes where they lie asks
// `bytes_in_place` (input_stream.hpp).

#include <cstddef>
#include <ios>
#include <span>
#include <streambuf>

namespace tessarel {

class MemoryStreamBuf : public std::streambuf {
public:
    explicit MemoryStreamBuf(std::span<const std::byte> bytes) {
        // The get area is never written through: std::streambuf only wants non-const pointers.
        char* const first = const_cast<char*>(reinterpret_cast<const char*>(bytes.data()));
        setg(first, first, first + bytes.size());
    }

    // The next `size` bytes, which the caller knows are there, and moves past them.
    std::span<const std::byte> take(std::size_t size) {
        const char* const at = gptr();
        setg(eback(), gptr() + size, egptr());
        return {reinterpret_cast<const std::byte*>(at), size};
    }

protected:
    pos_type seekoff(off_type offset, std::ios::seekdir from, std::ios::openmode which) override {
        const off_type base = from == std::ios::beg ? 0 : from == std::ios::cur ? gptr() - eback() : egptr() - eback();
        return seekpos(pos_type(base + offset), which);
    }

    pos_type seekpos(pos_type position, std::ios::openmode which) override {
        const off_type at = position;
        if (!(which & std::ios::in) || at < 0 || at > egptr() - eback()) return pos_type(off_type(-1));
        setg(eback(), eback() + at, egptr());
        return position;
    }
};

}  // namespace tessarel
