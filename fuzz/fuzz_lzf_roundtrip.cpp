// Arbitrary bytes encoded by the project's LZF encoder, then decoded by liblzf, the reference,
// and by the project's decoder: both must give back exactly the input. The block must fit the
// bound, and an output one byte short of it must get nothing written.

#include <lzf.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <system_error>
#include <vector>

#include "pcd/lzf/lzf_decoder.hpp"
#include "pcd/lzf/lzf_encoder.hpp"

namespace {

void require(bool holds) {
    if (!holds) __builtin_trap();
}

// Buffers of at least one byte: liblzf's pointer arithmetic is undefined on a null pointer.
std::vector<std::byte> buffer(std::size_t size) { return std::vector<std::byte>(size == 0 ? 1 : size); }

void decodes_with_liblzf(std::span<const std::byte> block, std::span<const std::byte> in) {
    if (in.empty()) return;  // liblzf reads a control byte before it looks at the length
    std::vector<std::byte> out = buffer(in.size());
    const unsigned decoded =
        lzf_decompress(block.data(), static_cast<unsigned>(block.size()), out.data(), static_cast<unsigned>(in.size()));
    require(decoded == in.size() && std::memcmp(out.data(), in.data(), in.size()) == 0);
}

void decodes_with_ours(std::span<const std::byte> block, std::span<const std::byte> in) {
    std::vector<std::byte> out = buffer(in.size());
    const tessarel::LzfDecodeResult result = tessarel::decode_lzf(block, std::span(out).first(in.size()));
    require(result.ec == std::errc{} && result.consumed == block.size() && result.decoded == in.size());
    require(std::memcmp(out.data(), in.data(), in.size()) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::byte> in(reinterpret_cast<const std::byte*>(data), size);
    const std::size_t bound = tessarel::lzf_encoded_bound(size);
    require(bound >= size && bound - size == (size + 31) / 32);
    std::vector<std::byte> block = buffer(bound);
    const std::size_t written = tessarel::encode_lzf(in, std::span(block).first(bound));
    require(written <= bound && (written == 0) == (size == 0));
    const std::span<const std::byte> encoded = std::span(block).first(written);
    decodes_with_liblzf(encoded, in);
    decodes_with_ours(encoded, in);
    if (size > 0) require(tessarel::encode_lzf(in, std::span(block).first(bound - 1)) == 0);
    return 0;
}
