#pragma once
// A file written under a temporary name beside its target and renamed over it only when
// complete: a save that fails for any reason leaves no partial file, and the file it would
// have replaced as it was.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <system_error>

namespace tessarel {

// The most an encoder hands the file at once: its output stays in cache until the kernel
// copies it, and a save holds little beside the arrays it writes.
inline constexpr std::size_t output_piece_bytes = std::size_t{1} << 20;

// A failed system call on a file, with the file's name: Python raises it as OSError.
class FileError : public std::system_error {
public:
    FileError(int error, const std::string& filename)
        : std::system_error(error, std::generic_category(), filename), filename_(filename) {}
    const std::string& filename() const noexcept { return filename_; }

private:
    std::string filename_;
};

class AtomicFile {
public:
    // Creates the temporary file in `target`'s folder (through a symbolic link, the folder of
    // the file it names), with the permissions `target` has, or those a new file gets.
    explicit AtomicFile(const std::string& target);
    // Removes the temporary file unless it was committed.
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    void write(std::span<const std::byte> bytes);
    void write_at(std::uint64_t offset, std::span<const std::byte> bytes);
    // Closes the file and puts it in the target's place.
    void commit();

private:
    [[noreturn]] void fail() const;

    std::string target_;
    std::string temporary_;
    int fd_ = -1;
};

}  // namespace tessarel
