#pragma once
// Fresh pages cost a kernel fault and a zeroing pass on first touch. For large buffers a
// helper thread takes those faults ahead of time, on another CPU, while this thread
// decodes; the decoder then writes into pages that are already in place.

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

#include <sched.h>
#include <sys/mman.h>

#include "pcd/byte_buffer.hpp"

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

// The CPUs this thread may run on. The affinity mask, unlike the machine's CPU count,
// follows taskset and a container's CPU set.
inline int usable_cpus() noexcept {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    // Fails only on machines with more CPUs than the set can name: many, then.
    if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) return CPU_SETSIZE;
    return CPU_COUNT(&cpus);
}

// How much the helper faults in at a time, so that it notices soon when it should stop.
inline constexpr std::size_t prefault_piece_bytes = std::size_t{4} << 20;

// Large reads and decodes under way in this process, each on its own thread.
inline std::atomic<int> large_loads_under_way{0};

class BackgroundPrefault {
public:
    // Faults in `ranges` in order. Small totals and a kernel that refused the advice before
    // are left alone, and so is a stage without a CPU to spare: each stage under way with its
    // helper needs two, and a helper on a CPU that another load's decoder uses only slows it.
    // For the same reason a helper stands down when later stages take the spare CPUs.
    explicit BackgroundPrefault(std::vector<std::span<std::byte>> ranges, PageAdvisor& advisor = kernel_advisor()) {
        std::size_t total = 0;
        for (const auto range : ranges) total += range.size();
        if (!populate_write || total < large_buffer_bytes || advisor.refused.load(std::memory_order_relaxed)) return;
        counted_ = true;
        large_loads_under_way.fetch_add(1, std::memory_order_relaxed);
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
        if (counted_) large_loads_under_way.fetch_sub(1, std::memory_order_relaxed);
    }
    BackgroundPrefault(const BackgroundPrefault&) = delete;
    BackgroundPrefault& operator=(const BackgroundPrefault&) = delete;

private:
    static bool cpus_to_spare(int cpus) noexcept {
        return 2 * large_loads_under_way.load(std::memory_order_relaxed) <= cpus;
    }

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
    bool counted_ = false;
    std::jthread helper_;
};

}  // namespace tessarel
