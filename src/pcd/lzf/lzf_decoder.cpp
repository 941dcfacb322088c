#include "pcd/lzf/lzf_decoder.hpp"

#include "pcd/lzf/lzf_decode_loops.hpp"

namespace tessarel {

LzfDecodeResult decode_lzf(std::span<const std::byte> in, std::span<std::byte> out) noexcept {
    const std::byte* const in_end = in.data() + in.size();
    std::byte* const out_end = out.data() + out.size();
    lzf_loops::Cursor at{in.data(), out.data()};
    std::errc ec = lzf_loops::decode_far_from_ends(at, in_end, out.data(), out_end);
    if (ec == std::errc{}) ec = lzf_loops::decode_near_ends(at, in_end, false, out.data(), out_end);
    return {static_cast<std::size_t>(at.ip - in.data()), static_cast<std::size_t>(at.op - out.data()), ec};
}

}  // namespace tessarel
