#include "pcd/io/mapped_file.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <system_error>

namespace tessarel {
namespace {

[[noreturn]] void throw_unmappable(const std::string& filename, const std::string& why) {
    throw std::runtime_error("Cannot map PCD file: " + filename + ": " + why);
}

std::string system_message(int error) { return std::generic_category().message(error); }

}  // namespace

std::size_t mappable_size(int fd, const std::string& filename) {
    struct stat status{};
    if (::fstat(fd, &status) != 0) throw_unmappable(filename, system_message(errno));
    const auto size = static_cast<std::uint64_t>(status.st_size);
    if (size == 0) {
        // A mapping of no bytes does not exist. A file of the kernel's says it has none, and yet
        // reads: it can be read, only not mapped.
        std::byte first{};
        if (::pread(fd, &first, 1, 0) == 1) {
            throw_unmappable(filename, "the system gives it no size, as for files in /proc: load it without mmap=True");
        }
        throw_unmappable(filename, "the file is empty");
    }
    if (size > SIZE_MAX) throw_unmappable(filename, std::to_string(size) + " bytes do not fit this build's memory");
    return static_cast<std::size_t>(size);
}

MappedFile::MappedFile(int fd, std::size_t size, const std::string& filename) {
    void* const at = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_NORESERVE, fd, 0);
    if (at == MAP_FAILED) throw_unmappable(filename, system_message(errno));
    bytes_ = {static_cast<std::byte*>(at), size};
}

MappedFile::~MappedFile() { ::munmap(bytes_.data(), bytes_.size()); }

SharedBytes MappedSource::share(std::span<const std::byte> bytes) const {
    const std::size_t offset = static_cast<std::size_t>(bytes.data() - file_->bytes().data());
    return {file_->bytes().subspan(offset, bytes.size()), file_};
}

}  // namespace tessarel
