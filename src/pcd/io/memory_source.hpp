#pragma once
// Bytes in memory as a source, read where they lie: the decoders view them in place rather
// than copy them. The caller keeps the bytes alive and unchanged for the source's lifetime.

#include <algorithm>
#include <span>

#include "pcd/io/input_source.hpp"

namespace tessarel {

class MemorySource : public InputSource {
public:
    explicit MemorySource(std::span<const std::byte> bytes) noexcept : bytes_(bytes) {}

    std::uint64_t size() const override { return bytes_.size(); }

    std::string description() const override { return "the PCD buffer"; }

    std::optional<std::span<const std::byte>> view(std::uint64_t size) override {
        const std::span<const std::byte> bytes = ahead(static_cast<std::size_t>(size));
        skip(bytes.size());
        return bytes;
    }

    std::span<const std::byte> peek(std::size_t most) override { return ahead(most); }

protected:
    std::size_t read_at(std::uint64_t offset, std::span<std::byte> into) override {
        const std::size_t size = std::min(into.size(), bytes_.size() - static_cast<std::size_t>(offset));
        std::copy_n(bytes_.data() + offset, size, into.data());
        return size;
    }

private:
    // Up to `most` bytes from the position on.
    std::span<const std::byte> ahead(std::size_t most) const noexcept {
        const auto from = static_cast<std::size_t>(position());
        return bytes_.subspan(from, std::min(most, bytes_.size() - from));
    }

    std::span<const std::byte> bytes_;
};

}  // namespace tessarel
