#include "pcd/io/file_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "pcd/io/file_name_check.hpp"

namespace tessarel {
namespace {

// The most `peek` reads ahead in one system call.
constexpr std::size_t ahead_capacity = std::size_t{64} << 10;

std::string system_message(int error) { return std::error_code(error, std::generic_category()).message(); }

}  // namespace

// Only regular files: a directory would open and then fail to read, and a FIFO would block
// the caller until some writer appears (hence the open that does not wait for one).
int open_regular_file(const std::string& filename) {
    check_file_name(filename);
    const int fd = ::open(filename.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throw std::runtime_error("Cannot open PCD file: " + filename + ": " + system_message(errno));
    struct stat status{};
    const int error = ::fstat(fd, &status) == 0 ? 0 : errno;
    if (error == 0 && S_ISREG(status.st_mode)) return fd;
    ::close(fd);
    const std::string why = error != 0                ? system_message(error)
                            : S_ISDIR(status.st_mode) ? system_message(EISDIR)
                                                      : std::string("not a regular file");
    throw std::runtime_error("Cannot open PCD file: " + filename + ": " + why);
}

FileSource::FileSource(const std::string& filename)
    : fd_(open_regular_file(filename)),
      name_(filename),
      ahead_(std::make_unique_for_overwrite<std::byte[]>(ahead_capacity)) {}

FileSource::~FileSource() { ::close(fd_); }

std::uint64_t FileSource::size() const {
    const off_t end = ::lseek(fd_, 0, SEEK_END);
    if (end < 0) {
        throw std::runtime_error("Cannot determine the size of PCD file " + name_ + ": " + system_message(errno) +
                                 " (a file of the kernel's, such as those in /proc, has none)");
    }
    return static_cast<std::uint64_t>(end);
}

std::span<const std::byte> FileSource::peek(std::size_t most) {
    const std::uint64_t from = position();
    if (from < ahead_offset_ || from - ahead_offset_ >= ahead_size_) {
        ahead_size_ = read_at(from, {ahead_.get(), ahead_capacity});
        ahead_offset_ = from;
    }
    const auto start = static_cast<std::size_t>(from - ahead_offset_);
    return {ahead_.get() + start, std::min(most, ahead_size_ - start)};
}

// A file that opens may still fail to read (an I/O error, or a file of the kernel's that
// refuses reads): say which file and why.
std::size_t FileSource::read_at(std::uint64_t offset, std::span<std::byte> into) {
    std::size_t done = 0;
    while (done < into.size()) {
        const ssize_t read = ::pread(fd_, into.data() + done, into.size() - done, static_cast<off_t>(offset + done));
        if (read > 0) {
            done += static_cast<std::size_t>(read);
            continue;
        }
        if (read == 0) break;
        if (errno == EINTR) continue;
        throw std::runtime_error("Cannot read PCD file: " + name_ + ": " + system_message(errno));
    }
    return done;
}

}  // namespace tessarel
