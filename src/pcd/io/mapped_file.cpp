#include "pcd/io/mapped_file.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <system_error>

#include "pcd/io/file_source.hpp"

namespace tessarel {
namespace {

[[noreturn]] void throw_unmappable(const std::string& filename, const std::string& why) {
    throw std::runtime_error("Cannot map PCD file: " + filename + ": " + why);
}

// Closes the descriptor once mapped: the mapping keeps the file open by itself.
class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    ~Descriptor() { ::close(fd_); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

std::span<std::byte> map_whole(const std::string& filename) {
    const Descriptor file(open_regular_file(filename));
    struct stat status{};
    if (::fstat(file.get(), &status) != 0) throw_unmappable(filename, std::generic_category().message(errno));
    const auto size = static_cast<std::uint64_t>(status.st_size);
    // A mapping of no bytes does not exist; the file has no header to read either.
    if (size == 0) throw_unmappable(filename, "the file is empty");
    if (size > SIZE_MAX) throw_unmappable(filename, std::to_string(size) + " bytes do not fit this build's memory");
    void* const at = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_NORESERVE, file.get(), 0);
    if (at == MAP_FAILED) throw_unmappable(filename, std::generic_category().message(errno));
    return {static_cast<std::byte*>(at), static_cast<std::size_t>(size)};
}

}  // namespace

MappedFile::MappedFile(const std::string& filename) : bytes_(map_whole(filename)) {}

MappedFile::~MappedFile() { ::munmap(bytes_.data(), bytes_.size()); }

SharedBytes MappedSource::share(std::span<const std::byte> bytes) const {
    const std::size_t offset = static_cast<std::size_t>(bytes.data() - file_->bytes().data());
    return {file_->bytes().subspan(offset, bytes.size()), file_};
}

}  // namespace tessarel
