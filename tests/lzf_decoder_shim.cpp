// A C entry point to the LZF decoder, for the tests that call it through ctypes.

#include <cstddef>

#include "pcd/lzf/lzf_decoder.hpp"

// Returns the errno value liblzf would set, 0 on success.
extern "C" int decode_lzf_for_test(const void* in, std::size_t in_size, void* out, std::size_t out_size,
                                   std::size_t* consumed, std::size_t* decoded) {
    const tessarel::LzfDecodeResult result =
        tessarel::decode_lzf({static_cast<const std::byte*>(in), in_size}, {static_cast<std::byte*>(out), out_size});
    *consumed = result.consumed;
    *decoded = result.decoded;
    return static_cast<int>(result.ec);
}
