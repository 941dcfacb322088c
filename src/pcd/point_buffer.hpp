#pragma once
// The packed point records of one cloud: allocated once at its final size, never resized.

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>

namespace tessarel {

class PointBuffer {
public:
    // calloc rather than new + fill: large blocks come straight from the OS already zeroed,
    // so bytes that no decoder writes read as zero without a clearing pass.
    // Even an empty buffer owns one byte, so every view has a real address and base.
    explicit PointBuffer(std::size_t size)
        : bytes_(static_cast<std::byte*>(std::calloc(size == 0 ? 1 : size, 1))), size_(size) {
        if (!bytes_) throw std::bad_alloc();
    }

    std::byte* data() noexcept { return bytes_.get(); }
    const std::byte* data() const noexcept { return bytes_.get(); }
    std::size_t size() const noexcept { return size_; }
    std::span<std::byte> bytes() noexcept { return {bytes_.get(), size_}; }

    // Hands the storage to a new owner, who frees it with std::free.
    std::byte* release() noexcept {
        size_ = 0;
        return bytes_.release();
    }

private:
    struct Free {
        void operator()(std::byte* bytes) const noexcept { std::free(bytes); }
    };
    std::unique_ptr<std::byte, Free> bytes_;
    std::size_t size_;
};

}  // namespace tessarel
