#pragma once
// Fresh pages cost a kernel fault and a zeroing pass on first touch. For large buffers a
// helper thread takes those faults ahead of time, on another CPU, while this thread
// decodes; the decoder then writes into pages that are already in place.

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "pcd/io/byte_buffer.hpp"
#include "pcd/parallel/cpu_share.hpp"
#include "pcd/parallel/worker_pool.hpp"

namespace tessarel {

// Headers from before Linux 5.14 do not name the advice; there is then nothing to do ahead.
#ifdef MADV_POPULATE_WRITE
inline constexpr std::optional<int> populate_write = MADV_POPULATE_WRITE;
#else
inline constexpr std::optional<int> populate_write = std::nullopt;
#endif

// What faults pages in: the kernel's madvise, or a stand-in that tests watch.
struct PageAdvisor {
    int (*advise)(void*, std::size_t, int);
    // Set when the kernel does not know the advice (before 5.14): from then on no load
    // starts a helper that could do nothing.
    std::atomic<bool> refused{false};
};

inline PageAdvisor& kernel_advisor() {
    static PageAdvisor advisor{::madvise};
    return advisor;
}

// How much the helper faults in at a time, so that it notices soon when it should stop.
inline constexpr std::size_t prefault_piece_bytes = std::size_t{4} << 20;

class BackgroundPrefault {
public:
    // Faults in `ranges` in order, on a helper when the stage that fills them has a CPU to
    // spare in its `share`. Small totals and a kernel that refused the advice before are left
    // alone. The helper stands down when later stages take the spare CPUs, and stops at once
    // when the stage fails: a damaged file whose header promises gigabytes must not have them
    // faulted in after its decoder gave up. A stage that succeeded has touched all its pages
    // itself, so its helper is about done anyway.
    BackgroundPrefault(std::vector<std::span<std::byte>> ranges, CpuShare share,
                       PageAdvisor& advisor = kernel_advisor()) {
        std::size_t total = 0;
        for (const auto range : ranges) total += range.size();
        if (total < large_buffer_bytes || !populate_write || advisor.refused.load(std::memory_order_relaxed)) return;
        if (share.now() < 2) return;
        helper_.emplace(2, share, [ranges = std::move(ranges), &advisor](const Worker& worker) {
            for (const auto range : ranges) {
                if (!populate(range, advisor, worker)) return;
            }
        });
    }

private:
    // A piece at a time. Only a hint: whatever fails, the decoder's own writes fault the pages
    // in. After a failure the rest would most likely fail too, so the helper stops.
    static bool populate(std::span<std::byte> range, PageAdvisor& advisor, const Worker& worker) noexcept {
        const auto pages = whole_pages(range);
        for (std::size_t done = 0; done < pages.size(); done += prefault_piece_bytes) {
            if (!worker.on_duty()) return false;
            const std::size_t piece = std::min(prefault_piece_bytes, pages.size() - done);
            if (advisor.advise(pages.data() + done, piece, *populate_write) == 0) continue;
            if (errno == EINVAL) advisor.refused.store(true, std::memory_order_relaxed);
            return false;
        }
        return true;
    }

    std::optional<WorkerPool> helper_;
};

}  // namespace tessarel
