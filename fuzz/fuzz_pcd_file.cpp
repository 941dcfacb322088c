// Arbitrary bytes as a whole PCD file: header, layout checks, then whichever decoder the
// header names. Every input must end in a cloud or a C++ exception, and reading the bytes in
// place, as from memory, must end the same way as copying them, as from a file.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <string>

#include "cloud_checks.hpp"
#include "copied_source.hpp"

namespace {

// The decoded bytes and where each field lies, or the error message.
std::string outcome(const tessarel::PcdCloud& cloud) {
    std::string text(reinterpret_cast<const char*>(cloud.buffer.data()), cloud.buffer.size());
    for (const tessarel::FieldPlacement& place : cloud.placements) {
        text +=
            ' ' + std::to_string(place.base) + ',' + std::to_string(place.stride) + ',' + std::to_string(place.present);
    }
    return text;
}

template <class Read>
std::string outcome_of(Read read, std::size_t file_bytes) {
    try {
        const tessarel::PcdCloud cloud = read();
        tessarel::fuzz::check_cloud(cloud, file_bytes);
        return outcome(cloud);
    } catch (const std::exception& error) {
        return std::string("error: ") + error.what();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::byte> file = std::as_bytes(std::span(data, size));
    const std::string copied = outcome_of(
        [&] {
            tessarel::fuzz::CopiedSource in(file);
            return tessarel::read_pcd(in);
        },
        size);
    const std::string in_place = outcome_of([&] { return tessarel::read_pcd_buffer(file); }, size);
    tessarel::fuzz::require(copied == in_place);
    return 0;
}
