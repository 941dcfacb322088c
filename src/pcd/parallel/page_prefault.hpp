#pragma once
// Fresh pages cost a kernel fault and a zeroing pass on first touch. For large buffers a
// helper thread takes those faults ahead of time, on another CPU, while this thread
// decodes; the decoder then writes into pages that are already in place.

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <exception>
#include <optional>
#include <span>
#include <stop_token>
#include <system_error>
#include <thread>
#include <vector>

#include "pcd/io/byte_buffer.hpp"
#include "pcd/parallel/spare_cpus.hpp"

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
    // Faults in `ranges` in order. Large ranges make the stage that fills them a large one,
    // counted while this lives (spare_cpus.hpp). Small totals and a kernel that refused the
    // advice before are left alone, and so is a stage without a CPU to spare for the helper.
    // For the same reason a helper stands down when later stages take the spare CPUs.
    explicit BackgroundPrefault(std::vector<std::span<std::byte>> ranges, PageAdvisor& advisor = kernel_advisor()) {
        std::size_t total = 0;
        for (const auto range : ranges) total += range.size();
        if (total < large_buffer_bytes) return;
        stage_.emplace();
        if (!populate_write || advisor.refused.load(std::memory_order_relaxed)) return;
        const int cpus = usable_cpus();
        if (!cpus_to_spare(cpus)) return;
        try {
            helper_ = std::jthread([ranges = std::move(ranges), &advisor, cpus](const std::stop_token& stop) {
                for (const auto range : ranges) {
                    if (!populate(range, advisor, cpus, stop)) return;
                }
            });
        } catch (const std::system_error&) {
            // No thread to be had: the decoder takes the faults itself, as without us.
        }
    }
    // A stage that failed wants no more pages: a damaged file whose header promises
    // gigabytes must not have them faulted in after its decoder gave up. A stage that
    // succeeded has touched all its pages itself, so its helper is about done anyway.
    ~BackgroundPrefault() {
        if (std::uncaught_exceptions() > exceptions_at_start_) helper_.request_stop();
        if (helper_.joinable()) helper_.join();
    }
    BackgroundPrefault(const BackgroundPrefault&) = delete;
    BackgroundPrefault& operator=(const BackgroundPrefault&) = delete;

private:
    static bool cpus_to_spare(int cpus) noexcept { return cpu_share(cpus) >= 2; }

    // A piece at a time. Only a hint: whatever fails, the decoder's own writes fault the pages
    // in. After a failure the rest would most likely fail too, so the helper stops.
    static bool populate(std::span<std::byte> range, PageAdvisor& advisor, int cpus,
                         const std::stop_token& stop) noexcept {
        const auto pages = whole_pages(range);
        for (std::size_t done = 0; done < pages.size(); done += prefault_piece_bytes) {
            if (stop.stop_requested() || !cpus_to_spare(cpus)) return false;
            const std::size_t piece = std::min(prefault_piece_bytes, pages.size() - done);
            if (advisor.advise(pages.data() + done, piece, *populate_write) == 0) continue;
            if (errno == EINVAL) advisor.refused.store(true, std::memory_order_relaxed);
            return false;
        }
        return true;
    }

    int exceptions_at_start_ = std::uncaught_exceptions();
    std::optional<LargeStage> stage_;  // outlives the helper, which is joined first
    std::jthread helper_;
};

}  // namespace tessarel
