// C entry points to the LZF decoders, for the tests that call them through ctypes.

#include <cstddef>
#include <cstring>

#include "pcd/lzf/lzf_decoder.hpp"
#include "pcd/lzf/lzf_stream_decoder.hpp"

namespace {

int report(const tessarel::LzfDecodeResult& result, std::size_t* consumed, std::size_t* decoded) {
    *consumed = result.consumed;
    *decoded = result.decoded;
    return static_cast<int>(result.ec);
}

}  // namespace

// Returns the errno value liblzf would set, 0 on success.
extern "C" int decode_lzf_for_test(const void* in, std::size_t in_size, void* out, std::size_t out_size,
                                   std::size_t* consumed, std::size_t* decoded) {
    return report(
        tessarel::decode_lzf({static_cast<const std::byte*>(in), in_size}, {static_cast<std::byte*>(out), out_size}),
        consumed, decoded);
}

// The same through the streaming decoder: the block read `input_piece` bytes at a time (all at
// once where it is 0), the output handed out through its smallest window.
extern "C" int decode_lzf_in_pieces_for_test(const void* in, std::size_t in_size, void* out, std::size_t out_size,
                                             std::size_t input_piece, std::size_t* consumed, std::size_t* decoded) {
    const auto* const block = static_cast<const std::byte*>(in);
    const tessarel::LzfTake take = [out](std::size_t position, std::span<const std::byte> bytes) {
        std::memcpy(static_cast<std::byte*>(out) + position, bytes.data(), bytes.size());
    };
    if (input_piece == 0) {
        return report(tessarel::decode_lzf_in_pieces({block, in_size}, out_size, take, 0), consumed, decoded);
    }
    std::size_t read = 0;
    const tessarel::LzfRead next = [&](std::span<std::byte> into) {
        std::memcpy(into.data(), block + read, into.size());
        read += into.size();
    };
    return report(tessarel::decode_lzf_in_pieces(in_size, next, out_size, take, {input_piece, 0}), consumed, decoded);
}
