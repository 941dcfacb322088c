#pragma once
// A buffer that memory could not hold, with its size: a cloud that does not fit is better
// described by how large it is than by the allocator's own words.

#include <cstdint>
#include <new>

namespace tessarel {

class BufferAllocationError : public std::bad_alloc {
public:
    explicit BufferAllocationError(std::uint64_t bytes) noexcept : bytes_(bytes) {}
    std::uint64_t bytes() const noexcept { return bytes_; }
    const char* what() const noexcept override { return "cannot reserve the memory for a buffer"; }

private:
    std::uint64_t bytes_;
};

}  // namespace tessarel
