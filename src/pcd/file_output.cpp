#include "pcd/file_output.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <random>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pcd/file_names.hpp"

namespace tessarel {
namespace {

// Where the bytes of `target` go: a symbolic link is followed, as open() would follow it.
std::string resolved(const std::string& target) {
    struct stat link {};
    if (lstat(target.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return target;
    char path[PATH_MAX];
    if (!realpath(target.c_str(), path)) throw FileError(errno, target);
    return path;
}

const std::string& checked(const std::string& target) {
    check_file_name(target);
    return target;
}

std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string random_suffix() {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    constexpr char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string suffix(12, '0');
    for (char& c : suffix) c = digits[generator() % (sizeof digits - 1)];
    return suffix;
}

}  // namespace

AtomicFile::AtomicFile(const std::string& target) : target_(resolved(checked(target))) {
    const std::string base = target_.substr(folder_of(target_).size());
    if (base.empty()) throw FileError(EISDIR, target);
    // Created like any new file, so the process's umask applies; then given the mode of the
    // file it replaces.
    do {
        temporary_ = folder_of(target_) + "." + base + "." + random_suffix() + ".tmp";
        fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (fd_ < 0 && errno == EEXIST);
    if (fd_ < 0) throw FileError(errno, target);
    struct stat existing {};
    if (stat(target_.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
        if (fchmod(fd_, existing.st_mode & 07777) != 0) fail();
    }
}

AtomicFile::~AtomicFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

void AtomicFile::fail() const { throw FileError(errno != 0 ? errno : EIO, target_); }

void AtomicFile::write(std::span<const std::byte> bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) fail();
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
}

void AtomicFile::write_at(std::uint64_t offset, std::span<const std::byte> bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) fail();
        bytes = bytes.subspan(static_cast<std::size_t>(written));
        offset += static_cast<std::uint64_t>(written);
    }
}

void AtomicFile::commit() {
    const int fd = fd_;
    fd_ = -1;
    // close() reports the write errors that a network file system defers until then.
    if (::close(fd) != 0) fail();
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) fail();
    temporary_.clear();
}

}  // namespace tessarel
