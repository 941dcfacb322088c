#include "pcd/read/binary_decoder.hpp"

#include <stdexcept>
#include <string>

#include "pcd/parallel/page_prefault.hpp"

namespace tessarel {

PointBuffer read_binary_data(InputSource& in, const PcdLayout& layout, CpuShare share) {
    // Checked before allocating, so a small file that declares a huge cloud costs nothing.
    const std::uint64_t available = in.remaining();
    if (available < layout.buffer_size) {
        throw std::runtime_error("PCD binary data is truncated: expected " + std::to_string(layout.buffer_size) +
                                 " bytes, the file holds " + std::to_string(available));
    }
    PointBuffer buffer(layout.buffer_size, Fill::overwritten);
    const BackgroundPrefault prefault({buffer.bytes()}, share);
    in.read_exactly(buffer.data(), buffer.size());
    return buffer;
}

}  // namespace tessarel
