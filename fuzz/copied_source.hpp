#pragma once
// Bytes in memory that the decoders must copy as they copy a file's, never view in place: so
// that the path a file takes can be held against the in-place one on the same input.

#include <cstdint>
#include <optional>
#include <span>

#include "pcd/io/memory_source.hpp"

namespace tessarel::fuzz {

class CopiedSource final : public MemorySource {
public:
    using MemorySource::MemorySource;
    std::optional<std::span<const std::byte>> view(std::uint64_t) override { return std::nullopt; }
};

}  // namespace tessarel::fuzz
