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

// The size of the regular file open as `fd`, for a mapping of all of it. Throws for a file
// that cannot be mapped: an empty one, one the system gives no size (a file of the kernel's,
// such as those in /proc), one beyond a 32-bit build's memory.
std::size_t mappable_size(int fd, const std::string& filename);

class MappedFile {
public:
    // Maps the first `size` bytes of the file open as `fd`; the mapping keeps the file open.
    MappedFile(int fd, std::size_t size, const std::string& filename);
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
    MappedSource(int fd, std::size_t size, const std::string& filename)
        : MappedSource(std::make_shared<const MappedFile>(fd, size, filename), filename) {}

    std::string description() const override { return "PCD file " + name_; }

    // `bytes`, which the source gave out, as bytes that keep the mapping alive.
    SharedBytes share(std::span<const std::byte> bytes) const;

private:
    MappedSource(std::shared_ptr<const MappedFile> file, std::string name)
        : MemorySource(file->bytes()), file_(std::move(file)), name_(std::move(name)) {}

    std::shared_ptr<const MappedFile> file_;
    std::string name_;
};

}  // namespace tessarel
