// A C entry point to the LZF encoder, for the tests that call it through ctypes.

#include <cstddef>

#include "pcd/lzf/lzf_encoder.hpp"

// Returns the bytes written, 0 for empty input or an output smaller than the bound.
extern "C" std::size_t encode_lzf_for_test(const void* in, std::size_t in_size, void* out, std::size_t out_size) {
    return tessarel::encode_lzf({static_cast<const std::byte*>(in), in_size}, {static_cast<std::byte*>(out), out_size});
}
