#pragma once
// A file as a source, read with pread from an offset of its own: nothing else moves the
// file's position, and a mapping of the same file can sit beside it. Its bytes are never in
// memory, so the decoders read them into their own buffers.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "pcd/io/input_source.hpp"

namespace tessarel {

// Opens `filename`, which must name a regular file, for reading: a descriptor the caller closes.
int open_regular_file(const std::string& filename);

class FileSource final : public InputSource {
public:
    // Opens `filename`, which must name a regular file, for reading.
    explicit FileSource(const std::string& filename);
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    // Asks the file each time: it may grow or shrink while it is read.
    std::uint64_t size() const override;

    std::string description() const override { return "PCD file " + name_; }

    // The open file, which a mapping of it may share.
    int descriptor() const noexcept { return fd_; }

    std::optional<std::span<const std::byte>> view(std::uint64_t) override { return std::nullopt; }

    std::span<const std::byte> peek(std::size_t most) override;

protected:
    std::size_t read_at(std::uint64_t offset, std::span<std::byte> into) override;

private:
    int fd_;
    std::string name_;
    // What `peek` read last, from `ahead_offset_` on: a header is read line by line, and each
    // line must not cost a system call.
    std::unique_ptr<std::byte[]> ahead_;
    std::uint64_t ahead_offset_ = 0;
    std::size_t ahead_size_ = 0;
};

}  // namespace tessarel
