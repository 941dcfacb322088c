// Drives the prefault helper through its advisor seam: `page_prefault_check CASE` runs one
// case, prints what it saw and exits 0 when the helper behaved, 1 when not, 77 when this
// machine cannot run the case.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include <sched.h>
#include <unistd.h>

#include "pcd/page_prefault.hpp"

namespace {

struct Call {
    std::byte* start;
    std::size_t size;
    int advice;
    std::thread::id thread;
};

std::mutex calls_mutex;
std::vector<Call> calls;
bool refuse = false;

int record(void* start, std::size_t size, int advice) {
    const std::lock_guard lock(calls_mutex);
    calls.push_back({static_cast<std::byte*>(start), size, advice, std::this_thread::get_id()});
    if (!refuse) return 0;
    errno = EINVAL;
    return -1;
}

int failures = 0;

void check(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok) ++failures;
}

// Three ranges of 3 MiB, none aligned to a page: 9 MiB in all, above the helper's threshold.
struct Ranges {
    std::vector<std::byte> storage = std::vector<std::byte>(std::size_t{10} << 20);
    std::vector<std::span<std::byte>> spans{{storage.data() + 1, 3 << 20},
                                            {storage.data() + (3 << 20) + 7, 3 << 20},
                                            {storage.data() + (6 << 20) + 9, 3 << 20}};
};

bool pin_to_one_cpu() {
    cpu_set_t cpus;
    if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) return false;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &cpus)) continue;
        CPU_ZERO(&cpus);
        CPU_SET(cpu, &cpus);
        return sched_setaffinity(0, sizeof cpus, &cpus) == 0;
    }
    return false;
}

int helps() {
    if (!tessarel::populate_write || tessarel::usable_cpus() < 2) return 77;
    tessarel::PageAdvisor advisor{record};
    Ranges ranges;
    { const tessarel::BackgroundPrefault prefault(ranges.spans, advisor); }
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    check(calls.size() == ranges.spans.size(), "one call per range, all done when the helper is gone");
    for (std::size_t i = 0; i < calls.size() && i < ranges.spans.size(); ++i) {
        const auto range = ranges.spans[i];
        const auto offset = static_cast<std::size_t>(calls[i].start - range.data());
        const auto address = reinterpret_cast<std::uintptr_t>(calls[i].start);
        check(address % page == 0 && calls[i].size % page == 0, "whole pages of the system's size");
        check(offset < page && range.size() - offset - calls[i].size < page, "every whole page of the range, in order");
        check(calls[i].advice == *tessarel::populate_write, "asks for the pages to be populated");
        check(calls[i].thread != std::this_thread::get_id(), "on a thread of its own");
    }
    return 0;
}

// Whether the helper leaves the first `bytes` of the ranges alone.
int stays_home(std::size_t bytes) {
    tessarel::PageAdvisor advisor{record};
    Ranges ranges;
    std::vector<std::span<std::byte>> taken;
    for (const auto range : ranges.spans) {
        taken.push_back(range.first(std::min(range.size(), bytes)));
        bytes -= taken.back().size();
    }
    { const tessarel::BackgroundPrefault prefault(taken, advisor); }
    check(calls.empty(), "no page advice");
    return 0;
}

int one_cpu() {
    if (!pin_to_one_cpu()) return 77;
    return stays_home(std::size_t{9} << 20);
}

// As many large stages under way as the CPUs can give a helper each: one more gets none.
int busy() {
    if (!tessarel::populate_write || tessarel::usable_cpus() < 2) return 77;
    tessarel::PageAdvisor advisor{record};
    Ranges ranges;
    const std::size_t helped = static_cast<std::size_t>(tessarel::usable_cpus()) / 2;
    {
        std::vector<std::unique_ptr<tessarel::BackgroundPrefault>> stages;
        for (std::size_t stage = 0; stage <= helped; ++stage) {
            stages.push_back(std::make_unique<tessarel::BackgroundPrefault>(ranges.spans, advisor));
        }
    }
    check(calls.size() == helped * ranges.spans.size(), "a helper for each stage but the last");
    calls.clear();
    { const tessarel::BackgroundPrefault prefault(ranges.spans, advisor); }
    check(calls.size() == ranges.spans.size(), "a helper again once the others are done");
    return 0;
}

int refused() {
    if (!tessarel::populate_write || tessarel::usable_cpus() < 2) return 77;
    tessarel::PageAdvisor advisor{record};
    refuse = true;
    Ranges ranges;
    { const tessarel::BackgroundPrefault prefault(ranges.spans, advisor); }
    check(calls.size() == 1, "the helper stops at the first refusal");
    check(advisor.refused.load(), "the refusal is remembered");
    calls.clear();
    { const tessarel::BackgroundPrefault prefault(ranges.spans, advisor); }
    check(calls.empty(), "later loads start no helper");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view name = argc == 2 ? argv[1] : "";
    int status = 2;
    if (name == "helps") status = helps();
    if (name == "small") status = stays_home((std::size_t{4} << 20) - 1);
    if (name == "one_cpu") status = one_cpu();
    if (name == "busy") status = busy();
    if (name == "refused") status = refused();
    if (status == 2) std::fprintf(stderr, "usage: page_prefault_check helps|small|one_cpu|busy|refused\n");
    return status != 0 ? status : failures == 0 ? 0 : 1;
}
