#pragma once
// Heap byte buffers of a fixed size: the point records of a cloud and the decoders' inputs;
// and the bytes that results share, from such a buffer or from a file mapping.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>
#include <utility>

#include "pcd/io/buffer_allocation_error.hpp"

namespace tessarel {

// The whole pages inside `bytes`, the unit that page hints apply to.
inline std::span<std::byte> whole_pages(std::span<std::byte> bytes) noexcept {
    static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(bytes.data());
    const auto first = (start + page - 1) & ~(page - 1);
    const auto last = (start + bytes.size()) & ~(page - 1);
    if (last <= first) return {};
    return {bytes.data() + (first - start), last - first};
}

// From this size on a buffer is large: worth huge pages, and worth faulting in ahead of its
// decoder (page_prefault.hpp).
inline constexpr std::size_t large_buffer_bytes = std::size_t{4} << 20;

// Whether a new buffer's bytes must read as zero. Only a buffer that is filled completely
// may skip it: heap memory that is reused would otherwise show what it held before.
enum class Fill : std::uint8_t { zeroed, overwritten };

class ByteBuffer {
public:
    // calloc rather than new + fill: large blocks come straight from the OS already zeroed,
    // so bytes that no decoder writes read as zero without a clearing pass. A buffer that
    // will be overwritten anyway skips even the clearing calloc does on reused heap memory.
    // Even an empty buffer owns one byte, so every view has a real address and base.
    ByteBuffer(std::size_t size, Fill fill)
        : bytes_(static_cast<std::byte*>(fill == Fill::zeroed ? std::calloc(std::max<std::size_t>(size, 1), 1)
                                                              : std::malloc(std::max<std::size_t>(size, 1)))),
          size_(size) {
        if (!bytes_) throw BufferAllocationError(size);
        prefer_huge_pages();
    }

    std::byte* data() noexcept { return bytes_.get(); }
    const std::byte* data() const noexcept { return bytes_.get(); }
    std::size_t size() const noexcept { return size_; }
    std::span<std::byte> bytes() noexcept { return {bytes_.get(), size_}; }
    std::span<const std::byte> bytes() const noexcept { return {bytes_.get(), size_}; }

    // Hands the storage to a new owner, who frees it with std::free.
    std::byte* release() noexcept {
        size_ = 0;
        return bytes_.release();
    }

private:
    // Large buffers are filled once, front to back: huge pages cut the page faults of that
    // first touch by a factor of 512. Only a hint; where the kernel declines, nothing changes.
    void prefer_huge_pages() noexcept {
#ifdef MADV_HUGEPAGE
        if (size_ < large_buffer_bytes) return;
        const auto pages = whole_pages(bytes());
        madvise(pages.data(), pages.size(), MADV_HUGEPAGE);
#endif
    }

    struct Free {
        void operator()(std::byte* bytes) const noexcept { std::free(bytes); }
    };
    std::unique_ptr<std::byte, Free> bytes_;
    std::size_t size_;
};

// The packed point records of one cloud, little-endian values at each field's offset.
// Allocated once at its final size and filled in place by one decoder.
using PointBuffer = ByteBuffer;

// Bytes that several results share: a decoded buffer, or part of a file mapping. Whatever
// owns them lives while any copy of this does; chunks of one decoded block are views of it
// with the block's owner.
class SharedBytes {
public:
    SharedBytes() = default;

    // Takes the buffer's storage.
    explicit SharedBytes(ByteBuffer buffer)
        : bytes_(buffer.data(), buffer.size()), owner_(buffer.release(), [](std::byte* bytes) { std::free(bytes); }) {}

    // `bytes` inside what `owner` keeps alive.
    SharedBytes(std::span<std::byte> bytes, std::shared_ptr<const void> owner) noexcept
        : bytes_(bytes), owner_(std::move(owner)) {}

    std::byte* data() const noexcept { return bytes_.data(); }
    std::size_t size() const noexcept { return bytes_.size(); }
    std::span<std::byte> bytes() const noexcept { return bytes_; }
    const std::shared_ptr<const void>& owner() const noexcept { return owner_; }

private:
    std::span<std::byte> bytes_;
    std::shared_ptr<const void> owner_;
};

}  // namespace tessarel
