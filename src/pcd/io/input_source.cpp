#include "pcd/io/input_source.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "pcd/io/interruption.hpp"

namespace tessarel {

// A file can shrink while it is read: its end then lies before the position.
std::uint64_t InputSource::remaining() const {
    const std::uint64_t end = size();
    if (end < position_) {
        throw std::runtime_error(description() + " shrank while it was read: it ends at byte " + std::to_string(end) +
                                 ", before byte " + std::to_string(position_) + " that was reached");
    }
    return end - position_;
}

void InputSource::read_exactly(void* into, std::size_t size) {
    constexpr std::size_t most = std::size_t{16} << 20;
    auto* const at = static_cast<std::byte*>(into);
    std::size_t done = 0;
    while (done < size) {
        check_for_interruption();
        const std::size_t piece = std::min(size - done, most);
        const std::size_t read = read_at(position_, {at + done, piece});
        position_ += read;
        done += read;
        if (read != piece) {
            throw std::runtime_error("Reading the PCD data section failed after " + std::to_string(done) + " of " +
                                     std::to_string(size) + " bytes: " + description() +
                                     " ended early (was it truncated while it was read?)");
        }
    }
}

}  // namespace tessarel
