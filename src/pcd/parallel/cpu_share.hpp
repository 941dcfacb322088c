#pragma once
// How many CPUs a large load or save may take beyond its own thread. Each one under way is
// counted, and the CPUs this thread may use are shared out equally among them: helper threads
// on CPUs that another load's own thread needs would only slow it down. The drivers count
// their stages and hand each its share.

#include <sched.h>

#include <algorithm>
#include <atomic>

namespace tessarel {

// The CPUs this thread may run on. The affinity mask, unlike the machine's CPU count,
// follows taskset and a container's CPU set.
inline int usable_cpus() noexcept {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    // Fails only on machines with more CPUs than the set can name: many, then.
    if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) return CPU_SETSIZE;
    return CPU_COUNT(&cpus);
}

// Large loads and saves under way in this process, each on its own thread.
inline std::atomic<int> large_stages_under_way{0};

// The CPUs a stage may use, its own thread's included.
struct CpuShare {
    int cpus = 1;         // the CPUs to share out
    bool shared = false;  // shared out among the large stages under way, this one among them

    // One at least. A shared count changes as large stages start and end: helpers ask again
    // before each piece of work, and stand down when later stages need the CPUs.
    int now() const noexcept {
        if (!shared) return cpus;
        return std::max(1, cpus / std::max(1, large_stages_under_way.load(std::memory_order_relaxed)));
    }
};

// Counts a large load or save for as long as it lives. A small one is not counted, and keeps
// to its own thread.
class LargeStage {
public:
    explicit LargeStage(bool large) noexcept : large_(large) {
        if (large_) large_stages_under_way.fetch_add(1, std::memory_order_relaxed);
    }
    ~LargeStage() {
        if (large_) large_stages_under_way.fetch_sub(1, std::memory_order_relaxed);
    }
    LargeStage(const LargeStage&) = delete;
    LargeStage& operator=(const LargeStage&) = delete;

    CpuShare share() const noexcept { return large_ ? CpuShare{usable_cpus(), true} : CpuShare{}; }

private:
    const bool large_;
};

}  // namespace tessarel
