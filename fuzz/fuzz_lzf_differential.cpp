// Arbitrary blocks decoded by the project's LZF decoder and by liblzf, the reference: both must
// succeed with the same bytes or fail with the same error after the same output. The first
// two bytes give an output capacity; each block is also decoded into exactly the room it
// needs and into one byte less, where the wide moves must give way to exact ones. The
// streaming decoder, through its smallest window, must give what the block decoder gives,
// both with the block where it lies and read in pieces of a few bytes.

#include <lzf.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <system_error>
#include <vector>

#include "pcd/lzf/lzf_decoder.hpp"
#include "pcd/lzf/lzf_stream_decoder.hpp"

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

bool same(const tessarel::LzfDecodeResult& a, const tessarel::LzfDecodeResult& b) {
    return a.consumed == b.consumed && a.decoded == b.decoded && a.ec == b.ec;
}

// The streaming decoder hands out exactly the bytes it decoded, in order, from the start.
void compare_in_pieces(std::span<const std::byte> in, std::size_t capacity, const tessarel::LzfDecodeResult& whole,
                       const std::vector<std::byte>& whole_out, std::size_t input_piece) {
    std::vector<std::byte> out;
    const tessarel::LzfTake take = [&out](std::size_t position, std::span<const std::byte> bytes) {
        require(position == out.size());
        out.insert(out.end(), bytes.begin(), bytes.end());
    };
    require(same(tessarel::decode_lzf_in_pieces(in, capacity, take, 0), whole));
    require(out.size() == whole.decoded && std::equal(out.begin(), out.end(), whole_out.begin()));
    out.clear();
    std::size_t read = 0;
    const tessarel::LzfRead next = [&](std::span<std::byte> into) {
        require(into.size() <= in.size() - read);
        std::memcpy(into.data(), in.data() + read, into.size());
        read += into.size();
    };
    require(same(tessarel::decode_lzf_in_pieces(in.size(), next, capacity, take, {input_piece, 0}), whole));
    require(out.size() == whole.decoded);
    require(std::equal(out.begin(), out.end(), whole_out.begin()));
}

tessarel::LzfDecodeResult compare(std::span<const std::byte> in, std::size_t capacity, std::size_t input_piece) {
    std::vector<std::byte> out = output_buffer(capacity, std::byte{0x00});
    const tessarel::LzfDecodeResult ours = tessarel::decode_lzf(in, std::span(out).first(capacity));
    compare_in_pieces(in, capacity, ours, out, input_piece);
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
    const std::size_t input_piece = 1 + data[0] % 40;
    compare(in, capacity, input_piece);
    // Room for the most a block can decode to: 264 bytes from each 3-byte reference.
    const tessarel::LzfDecodeResult whole = compare(in, in.size() * 88, input_piece);
    if (whole.ec != std::errc{}) return 0;
    compare(in, whole.decoded, input_piece);
    if (whole.decoded > 0) compare(in, whole.decoded - 1, input_piece);
    return 0;
}
