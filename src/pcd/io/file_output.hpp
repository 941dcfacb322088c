#pragma once
// The file a save writes, as open(name, "wb") would reach it. A regular file, or a name that
// does not exist yet, is written into a temporary file in its folder and put in its place only
// when complete: a save that fails for any reason leaves the file it would have replaced as it
// was, and no temporary file; the new file keeps the old one's permissions, and its owner and
// group where the process may give them. Anything else (a FIFO, a device, a file reached
// through /proc such as /dev/stdout), and an existing file whose folder takes no file of ours
// in its place (a read-only folder, or a sticky one such as /tmp where neither the file nor
// the folder is ours), is written through, as open() would write it.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace tessarel {

// The most an encoder hands the file at once: its output stays in cache until the kernel
// copies it, and a save holds little beside the arrays it writes.
inline constexpr std::size_t output_piece_bytes = std::size_t{1} << 20;

// ext4 copies a write into larger folios when it ends on a multiple of this in the file, a tenth
// faster than one that ends anywhere: writers of many pieces end them there where they can.
inline constexpr std::uint64_t folio_boundary = std::uint64_t{1} << 20;

// The most parts that one write takes, each from a buffer of its own.
inline constexpr std::size_t most_write_parts = 4;

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
    // Checks the target and opens what the bytes go into; throws FileError, before anything is
    // written, for a target that open() would refuse (a directory, "", a file the caller may
    // not write, a missing folder).
    explicit AtomicFile(const std::string& target);
    // Discards the temporary file unless it was committed.
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    void write(std::span<const std::byte> bytes);
    // Writes the parts one after another in one system call, so that the file system sees one
    // extent: at most most_write_parts of them.
    void write(std::span<const std::span<const std::byte>> parts);
    // The bytes written so far that reached the file.
    std::uint64_t written() const noexcept { return written_; }
    // Says that `bytes` bytes follow, so that the file system allocates them at once. Writes
    // say so of themselves; a caller that writes in pieces says it of the whole first.
    void reserve(std::uint64_t bytes);
    // Whether write_at can reach bytes already written without holding them.
    bool seekable() const noexcept { return seekable_; }
    // Everything written from here on stays where write_at can reach it: in memory until the
    // commit when the target cannot seek (a FIFO, a terminal).
    void hold_for_write_at();
    // Rewrites bytes already written, at `offset` from the start of the file.
    void write_at(std::uint64_t offset, std::span<const std::byte> bytes);
    // Whether the bytes that follow may be written out of order, by several threads at once,
    // with write_placed: only into our own temporary file, which nobody reads meanwhile.
    bool takes_placed_writes() const noexcept { return !replaced_.empty() && !holding_; }
    // Writes `bytes` at `at` bytes past what was written so far; several threads may at once.
    void write_placed(std::uint64_t at, std::span<const std::byte> bytes) const;
    // The `bytes` bytes that follow were all written with write_placed: writes go on after them.
    void placed(std::uint64_t bytes);
    // Writes what is held, closes the file and, for a replaced file, puts it in the target's place.
    void commit();

private:
    [[noreturn]] void fail() const;
    void write_out(std::span<const std::span<const std::byte>> parts);
    void release_unfilled();
    void write_out_at(std::uint64_t offset, std::span<const std::byte> bytes) const;
    void open_temporary(const std::string& folder);
    void link_temporary();
    void keep_owner() const;

    std::string target_;                            // the name the caller gave, for messages
    std::string replaced_;                          // the file put in place at the commit; empty when written through
    std::string temporary_;                         // the temporary file's name, while it has one
    unsigned mode_ = 0;                             // the permission bits the replacing file gets
    std::optional<std::pair<uid_t, gid_t>> owner_;  // the replaced file's owner and group
    bool unnamed_ = false;                          // the temporary file is an O_TMPFILE, linked at the commit
    bool seekable_ = true;                          // write_at can reach bytes already written
    bool holding_ = false;                          // writes go to held_ until the commit
    std::uint64_t written_ = 0;                     // bytes that reached the file
    std::uint64_t allocated_ = 0;                   // the end of the blocks allocated ahead of the writes
    std::vector<std::byte> held_;                   // bytes after written_, for a target that cannot seek
    int fd_ = -1;
};

}  // namespace tessarel
