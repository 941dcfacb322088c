#include "pcd/io/file_output.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <fstream>
#include <optional>
#include <random>
#include <stdexcept>
#include <utility>

#include "pcd/io/file_name_check.hpp"

namespace tessarel {
namespace {

// Symbolic links followed before the chain counts as a loop, as the kernel counts them.
constexpr int most_links = 40;

std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// Links in /proc (such as /proc/self/fd/1, where /dev/stdout leads) name open files, not
// paths: what they lead to is written through, never replaced.
bool in_proc(const std::string& folder) {
    struct statfs system{};
    return statfs(folder.empty() ? "." : folder.c_str(), &system) == 0 && system.f_type == PROC_SUPER_MAGIC;
}

struct Followed {
    std::string path;  // the end of the chain of symbolic links
    bool through_proc = false;
};

// Where `target`'s bytes go: its chain of symbolic links followed, as open() follows it.
Followed followed(const std::string& target) {
    std::string path = target;
    for (int links = 0; links <= most_links; ++links) {
        if (in_proc(folder_of(path))) return {path, true};
        struct stat entry{};
        if (lstat(path.c_str(), &entry) != 0) {
            if (errno == ENOENT) return {path, false};  // a new file, or a missing folder that opening reports
            throw FileError(errno, target);
        }
        if (!S_ISLNK(entry.st_mode)) return {path, false};
        char text[PATH_MAX];
        const ssize_t length = readlink(path.c_str(), text, sizeof text);
        if (length < 0) throw FileError(errno, target);
        if (static_cast<std::size_t>(length) == sizeof text) throw FileError(ENAMETOOLONG, target);
        const std::string link(text, static_cast<std::size_t>(length));
        path = link.starts_with('/') ? link : folder_of(path) + link;
    }
    throw FileError(ELOOP, target);
}

// The process's umask, read without setting it: umask() can only be read by changing it,
// which would race with files other threads create meanwhile.
mode_t current_umask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("Umask:")) return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
    }
    const mode_t mask = umask(022);
    umask(mask);
    return mask;
}

// A short name of fixed length, so that it fits in any folder that holds the target.
std::string temporary_name(const std::string& folder) {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    constexpr char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string name = folder + ".tessarel-000000000000.tmp";
    for (char& c : std::span(name).subspan(folder.size() + 10, 12)) c = digits[generator() % (sizeof digits - 1)];
    return name;
}

// Below this, allocating blocks ahead costs more than it saves.
constexpr std::uint64_t least_allocated_ahead = std::uint64_t{64} << 10;
// Beyond this, larger extents save no more.
constexpr std::uint64_t most_allocated_ahead = std::uint64_t{8} << 20;

bool refuses_unnamed_files(int error) { return error == EOPNOTSUPP || error == EISDIR || error == EINVAL; }

// Whether this process may replace or remove any file, whoever owns it (CAP_FOWNER).
bool owns_every_file() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, 2> sets{};
    if (::syscall(SYS_capget, &header, sets.data()) != 0) return ::geteuid() == 0;
    return (sets[0].effective & (1U << CAP_FOWNER)) != 0;
}

// Whether a file of ours in `file`'s folder may take its place: the folder takes new names,
// and in a sticky folder (such as /tmp) the file or the folder is ours.
bool replaceable(const std::string& file, const struct stat& existing) {
    const std::string folder = folder_of(file).empty() ? "." : folder_of(file);
    struct stat entry{};
    if (::stat(folder.c_str(), &entry) != 0 || faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        return false;
    }
    if ((entry.st_mode & S_ISVTX) == 0) return true;
    const uid_t me = ::geteuid();
    return existing.st_uid == me || entry.st_uid == me || owns_every_file();
}

}  // namespace

AtomicFile::AtomicFile(const std::string& target) : target_(target) {
    check_file_name(target);
    if (target.empty()) throw FileError(ENOENT, target);
    const Followed end = followed(target);
    struct stat existing{};
    const bool exists = !end.through_proc && stat(end.path.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) throw FileError(EISDIR, target);
    if (end.through_proc || (exists && !S_ISREG(existing.st_mode))) {
        fd_ = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd_ < 0) throw FileError(errno, target);
        seekable_ = ::lseek(fd_, 0, SEEK_CUR) >= 0;
        return;
    }
    if (exists && faccessat(AT_FDCWD, end.path.c_str(), W_OK, AT_EACCESS) != 0) throw FileError(errno, target);
    if (exists && !replaceable(end.path, existing)) {
        // Written through, as open(name, "wb") writes it: a failure leaves it cut short.
        fd_ = ::open(end.path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd_ < 0) throw FileError(errno, target);
        return;
    }
    // The new file gets the permissions of the one it replaces, or those open() would give it;
    // never a setuid or setgid bit, which belonged to the old file's contents.
    mode_ = exists ? existing.st_mode & 01777 : 0666 & ~current_umask();
    if (exists) owner_ = {existing.st_uid, existing.st_gid};
    replaced_ = end.path;
    open_temporary(folder_of(end.path));
}

// Unnamed where the file system allows it, so that a process killed meanwhile leaves nothing
// behind; otherwise under a temporary name. Either way mode 0600 until the commit.
void AtomicFile::open_temporary(const std::string& folder) {
    if (access("/proc/self/fd", X_OK) == 0) {
        fd_ = ::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
        if (fd_ >= 0) {
            unnamed_ = true;
            return;
        }
        if (!refuses_unnamed_files(errno)) throw FileError(errno, target_);
    }
    do {
        temporary_ = temporary_name(folder);
        fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    } while (fd_ < 0 && errno == EEXIST);
    if (fd_ < 0) {
        temporary_.clear();
        throw FileError(errno, target_);
    }
}

AtomicFile::~AtomicFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

void AtomicFile::fail() const { throw FileError(errno != 0 ? errno : EIO, target_); }

// ext4 allocates the blocks of a file being written a page at a time, unless told their extent
// first: then a large write takes about two thirds of the time, and less again when told
// larger extents at once. A file written in many parts is told ahead of them: as much again as
// it holds, up to most_allocated_ahead, and the commit releases what it did not fill, so no
// file keeps blocks beyond its end. Only our own file: one written through may be shared, and
// not ours to allocate.
void AtomicFile::reserve(std::uint64_t bytes) {
    if (replaced_.empty() || bytes < least_allocated_ahead || written_ + bytes <= allocated_) return;
    const std::uint64_t from = std::max(written_, allocated_);
    allocated_ = written_ + std::max(bytes, std::min(written_, most_allocated_ahead));
    // A hint: where the file system refuses it, write() reports what matters.
    (void)::fallocate(fd_, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from), static_cast<off_t>(allocated_ - from));
}

// The blocks allocated ahead beyond the file's end, released: a truncation to the size the file
// has frees them, where punching a hole past the end does nothing in ext4. A hint too.
void AtomicFile::release_unfilled() {
    if (allocated_ <= written_) return;
    (void)::ftruncate(fd_, static_cast<off_t>(written_));
    allocated_ = written_;
}

void AtomicFile::write_out(std::span<const std::span<const std::byte>> parts) {
    if (parts.size() > most_write_parts) throw std::logic_error("more parts than one write takes");
    std::array<iovec, most_write_parts> vectors{};
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        vectors[i] = {const_cast<std::byte*>(parts[i].data()), parts[i].size()};
        bytes += parts[i].size();
    }
    reserve(bytes);
    std::span<iovec> left = std::span(vectors).first(parts.size());
    while (true) {
        while (!left.empty() && left.front().iov_len == 0) left = left.subspan(1);
        if (left.empty()) return;
        const ssize_t written = ::writev(fd_, left.data(), static_cast<int>(left.size()));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) fail();
        written_ += static_cast<std::uint64_t>(written);
        for (auto count = static_cast<std::size_t>(written); count > 0;) {
            iovec& front = left.front();
            const std::size_t taken = std::min(count, front.iov_len);
            front.iov_base = static_cast<std::byte*>(front.iov_base) + taken;
            front.iov_len -= taken;
            count -= taken;
            if (front.iov_len == 0) left = left.subspan(1);
        }
    }
}

void AtomicFile::write(std::span<const std::byte> bytes) { write(std::span(&bytes, 1)); }

void AtomicFile::write(std::span<const std::span<const std::byte>> parts) {
    if (!holding_) return write_out(parts);
    for (const std::span<const std::byte> part : parts) held_.insert(held_.end(), part.begin(), part.end());
}

void AtomicFile::hold_for_write_at() { holding_ = !seekable_; }

void AtomicFile::write_at(std::uint64_t offset, std::span<const std::byte> bytes) {
    if (holding_) {
        if (offset < written_ || offset - written_ + bytes.size() > held_.size()) {
            throw std::logic_error("write_at outside the bytes held for it");
        }
        std::copy(bytes.begin(), bytes.end(), held_.begin() + static_cast<std::ptrdiff_t>(offset - written_));
        return;
    }
    write_out_at(offset, bytes);
}

void AtomicFile::write_out_at(std::uint64_t offset, std::span<const std::byte> bytes) const {
    while (!bytes.empty()) {
        const ssize_t written = ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) fail();
        bytes = bytes.subspan(static_cast<std::size_t>(written));
        offset += static_cast<std::uint64_t>(written);
    }
}

void AtomicFile::write_placed(std::uint64_t at, std::span<const std::byte> bytes) const {
    write_out_at(written_ + at, bytes);
}

// pwrite() leaves the file's position where it was: the writes that follow start from there.
void AtomicFile::placed(std::uint64_t bytes) {
    written_ += bytes;
    if (::lseek(fd_, static_cast<off_t>(written_), SEEK_SET) < 0) fail();
}

// A name for the unnamed file: linked through /proc, since linking a descriptor itself
// (AT_EMPTY_PATH) needs a privilege.
void AtomicFile::link_temporary() {
    const std::string descriptor = "/proc/self/fd/" + std::to_string(fd_);
    std::string name;
    int linked = -1;
    do {
        name = temporary_name(folder_of(replaced_));
        linked = linkat(AT_FDCWD, descriptor.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
    } while (linked != 0 && errno == EEXIST);
    if (linked != 0) fail();
    temporary_ = name;
}

// The replaced file's owner and group, where this process may give them (root may), or its
// group alone (where the process is in it); otherwise the file stays the process's own.
void AtomicFile::keep_owner() const {
    if (!owner_) return;
    const auto [user, group] = *owner_;
    if (::fchown(fd_, user, group) != 0) (void)::fchown(fd_, static_cast<uid_t>(-1), group);
}

void AtomicFile::commit() {
    holding_ = false;
    write(std::span<const std::byte>(held_));
    release_unfilled();
    if (!replaced_.empty()) {
        if (fchmod(fd_, mode_) != 0) fail();
        // Linked while still ours: the system may refuse a link to another user's file.
        if (unnamed_) link_temporary();
        keep_owner();
    }
    const int fd = fd_;
    fd_ = -1;
    // close() reports the write errors that a network file system defers until then.
    if (::close(fd) != 0) fail();
    if (replaced_.empty()) return;
    if (::rename(temporary_.c_str(), replaced_.c_str()) != 0) fail();
    temporary_.clear();
}

}  // namespace tessarel
