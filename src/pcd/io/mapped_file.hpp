#pragma once
// A file mapped into memory, private and writable: writes to its pages stay in this process
// (copy-on-write) and never reach the file, and no swap is reserved for them, so a file larger
// than memory maps. Pages are read from the file when first touched.

#include <cstddef>
#include <memory>
#include <span>
#include <string>

#include "pcd/io/byte_buffer.hpp"
#include "pcd/io/memory_source.hpp"

namespace tessarel {

class MappedFile {
public:
    // Maps the whole of `filename`, a regular file that is not empty.
    explicit MappedFile(const std::string& filename);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    std::span<std::byte> bytes() const noexcept { return bytes_; }

private:
    std::span<std::byte> bytes_;
};

// A mapped file as a source: the decoders view its bytes in place, and a result may keep
// some of them, with the mapping, as its own.
class MappedSource final : public MemorySource {
public:
    explicit MappedSource(const std::string& filename) : MappedSource(std::make_shared<const MappedFile>(filename)) {}

    // `bytes`, which the source gave out, as bytes that keep the mapping alive.
    SharedBytes share(std::span<const std::byte> bytes) const;

private:
    explicit MappedSource(std::shared_ptr<const MappedFile> file)
        : MemorySource(file->bytes()), file_(std::move(file)) {}

    std::shared_ptr<const MappedFile> file_;
};

}  // namespace tessarel
