#pragma once
// Runs of bytes copied from one stride to another, a run a point: fields gathered out of
// records, or into them. A run of a size known at compile time copies as a few moves, where a
// memcpy of a size known only at run time is a call a point.

#include <cstddef>
#include <cstring>

namespace tessarel {

template <std::size_t Bytes>
void copy_runs(const std::byte* source, std::ptrdiff_t stride, std::size_t points, std::byte* out,
               std::size_t out_stride) noexcept {
    for (std::size_t i = 0; i < points; ++i, source += stride, out += out_stride) std::memcpy(out, source, Bytes);
}

// `points` runs of `bytes`, from `stride` apart at `source` to `out_stride` apart at `out`.
inline void copy_runs(const std::byte* source, std::ptrdiff_t stride, std::size_t bytes, std::size_t points,
                      std::byte* out, std::size_t out_stride) noexcept {
    switch (bytes) {
    case 1: return copy_runs<1>(source, stride, points, out, out_stride);
    case 2: return copy_runs<2>(source, stride, points, out, out_stride);
    case 4: return copy_runs<4>(source, stride, points, out, out_stride);
    case 8: return copy_runs<8>(source, stride, points, out, out_stride);
    case 12: return copy_runs<12>(source, stride, points, out, out_stride);
    case 16: return copy_runs<16>(source, stride, points, out, out_stride);
    case 24: return copy_runs<24>(source, stride, points, out, out_stride);
    case 32: return copy_runs<32>(source, stride, points, out, out_stride);
    default:
        for (std::size_t i = 0; i < points; ++i, source += stride, out += out_stride) std::memcpy(out, source, bytes);
    }
}

}  // namespace tessarel
