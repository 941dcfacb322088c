// Arbitrary blocks decoded by the project's LZF decoder and by liblzf, the reference: both must
// succeed with the same bytes or fail with the same error after the same output. The first
// two bytes give an output capacity; each block is also decoded into exactly the room it
// needs and into one byte less, where the wide moves must give way to exact ones.

#include <lzf.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <system_error>
#include <vector>

#include "pcd/lzf/lzf_decoder.hpp"

namespace {

void require(bool holds) {
    if (!holds) __builtin_trap();
}

// Buffers of at least one byte: liblzf's pointer arithmetic is undefined on a null pointer.
std::vector<std::byte> output_buffer(std::size_t capacity, std::byte fill) {
    return std::vector<std::byte>(capacity == 0 ? 1 : capacity, fill);
}

// liblzf's output when its buffer starts out filled with `fill`.
struct Reference {
    unsigned decoded;  // 0 on failure: a non-empty block that decodes writes at least a byte
    int error;
    std::vector<std::byte> out;
};

Reference decode_with_liblzf(std::span<const std::byte> in, std::size_t capacity, std::byte fill) {
    Reference reference{0, 0, output_buffer(capacity, fill)};
    errno = 0;
    reference.decoded = lzf_decompress(in.data(), static_cast<unsigned>(in.size()), reference.out.data(),
                                       static_cast<unsigned>(capacity));
    reference.error = errno;
    return reference;
}

// How far liblzf wrote: a byte written equals at most one of the two fills.
std::size_t written_extent(const Reference& zeros, const Reference& ones, std::size_t capacity) {
    std::size_t extent = capacity;
    while (extent > 0 && zeros.out[extent - 1] == std::byte{0x00} && ones.out[extent - 1] == std::byte{0xff}) --extent;
    return extent;
}

tessarel::LzfDecodeResult compare(std::span<const std::byte> in, std::size_t capacity) {
    std::vector<std::byte> out = output_buffer(capacity, std::byte{0x00});
    const tessarel::LzfDecodeResult ours = tessarel::decode_lzf(in, std::span(out).first(capacity));
    require(ours.decoded <= capacity && ours.consumed <= in.size());
    if (in.empty()) {  // liblzf reads a control byte before it looks at the length
        require(ours.ec == std::errc{} && ours.decoded == 0);
        return ours;
    }
    const Reference zeros = decode_with_liblzf(in, capacity, std::byte{0x00});
    const Reference ones = decode_with_liblzf(in, capacity, std::byte{0xff});
    require(zeros.decoded == ones.decoded && zeros.error == ones.error);
    require(std::memcmp(out.data(), zeros.out.data(), ours.decoded) == 0);
    if (zeros.decoded != 0) {
        require(ours.ec == std::errc{} && ours.consumed == in.size() && ours.decoded == zeros.decoded);
        return ours;
    }
    require(ours.ec != std::errc{} && static_cast<int>(ours.ec) == zeros.error);
    require(ours.decoded == written_extent(zeros, ones, capacity));
    return ours;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t capacity = data[0] | std::size_t{data[1]} << 8;
    const std::span<const std::byte> in(reinterpret_cast<const std::byte*>(data) + 2, size - 2);
    compare(in, capacity);
    // Room for the most a block can decode to: 264 bytes from each 3-byte reference.
    const tessarel::LzfDecodeResult whole = compare(in, in.size() * 88);
    if (whole.ec != std::errc{}) return 0;
    compare(in, whole.decoded);
    if (whole.decoded > 0) compare(in, whole.decoded - 1);
    return 0;
}
