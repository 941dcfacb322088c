#pragma once
// Fresh pages cost a kernel fault and a zeroing pass on first touch. For large buffers a
// helper thread takes those faults ahead of time, on the other core, while this thread
// decodes; the decoder then writes into pages that are already in place.

#include <cstddef>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include <sys/mman.h>

#include "pcd/byte_buffer.hpp"

namespace tessarel {

class BackgroundPrefault {
public:
    // Faults in `ranges` in order. Small totals, or a machine with one core, are left alone.
    explicit BackgroundPrefault(std::vector<std::span<std::byte>> ranges) {
        constexpr std::size_t worthwhile = std::size_t{4} << 20;
        std::size_t total = 0;
        for (const auto range : ranges) total += range.size();
        if (total < worthwhile || std::thread::hardware_concurrency() < 2) return;
        try {
            helper_ = std::thread([ranges = std::move(ranges)] {
                for (const auto range : ranges) populate(range);
            });
        } catch (const std::system_error&) {
            // No thread to be had: the decoder takes the faults itself, as without us.
        }
    }
    ~BackgroundPrefault() {
        if (helper_.joinable()) helper_.join();
    }
    BackgroundPrefault(const BackgroundPrefault&) = delete;
    BackgroundPrefault& operator=(const BackgroundPrefault&) = delete;

private:
    // Only a hint: a kernel without MADV_POPULATE_WRITE refuses it and nothing changes.
    static void populate(std::span<std::byte> range) noexcept {
        const auto pages = whole_pages(range);
        if (!pages.empty()) madvise(pages.data(), pages.size(), MADV_POPULATE_WRITE);
    }

    std::thread helper_;
};

}  // namespace tessarel
