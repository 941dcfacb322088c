// Drives the prefault helper through its advisor seam: `page_prefault_check CASE` runs one
// case, prints what it saw and exits 0 when the helper behaved, 1 when not, 77 when this
// machine cannot run the case.

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

#include "pcd/parallel/page_prefault.hpp"

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

// Three ranges, none aligned to a page: 11 MiB in all, above the helper's threshold. The last
// is faulted in as two pieces of at most 4 MiB, the others as one each.
struct Ranges {
    std::vector<std::byte> storage = std::vector<std::byte>(std::size_t{12} << 20);
    std::vector<std::span<std::byte>> spans{{storage.data() + 1, 3 << 20},
                                            {storage.data() + (3 << 20) + 7, 1 << 20},
                                            {storage.data() + (4 << 20) + 9, 7 << 20}};
    static constexpr std::size_t pieces = 4;
};

// A large load's prefault as the load driver starts it: the load counted, the helper on its share.
struct LargeLoad {
    tessarel::LargeStage stage{true};
    tessarel::BackgroundPrefault prefault;

    LargeLoad(std::vector<std::span<std::byte>> ranges, tessarel::PageAdvisor& advisor)
        : prefault(std::move(ranges), stage.share(), advisor) {}
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
    { const LargeLoad load(ranges.spans, advisor); }
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    check(calls.size() == Ranges::pieces, "all pieces done when the helper is gone");
    auto call = calls.begin();
    for (const auto range : ranges.spans) {
        const auto range_end = range.data() + range.size();
        check(call != calls.end() && static_cast<std::size_t>(call->start - range.data()) < page,
              "each range from its first whole page, in order");
        auto end = call != calls.end() ? call->start : nullptr;
        for (; call != calls.end() && call->start < range_end; ++call) {
            const auto address = reinterpret_cast<std::uintptr_t>(call->start);
            check(call->start == end, "its pieces one after another");
            check(address % page == 0 && call->size % page == 0, "whole pages of the system's size");
            check(call->advice == *tessarel::populate_write, "asks for the pages to be populated");
            check(call->thread != std::this_thread::get_id(), "on a thread of its own");
            end = call->start + call->size;
        }
        check(end <= range_end && static_cast<std::size_t>(range_end - end) < page, "to its last whole page");
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
    { const LargeLoad load(taken, advisor); }
    check(calls.empty(), "no page advice");
    return 0;
}

int one_cpu() {
    if (!pin_to_one_cpu()) return 77;
    return stays_home(std::size_t{9} << 20);
}

// A load too small to be counted among the large ones keeps to its own thread, whatever the
// ranges it is handed.
int uncounted() {
    if (!tessarel::populate_write || tessarel::usable_cpus() < 2) return 77;
    tessarel::PageAdvisor advisor{record};
    Ranges ranges;
    const tessarel::LargeStage stage(false);
    { const tessarel::BackgroundPrefault prefault(ranges.spans, stage.share(), advisor); }
    check(calls.empty(), "no helper on a small stage's share");
    return 0;
}

int quiet(void*, std::size_t, int) { return 0; }

// As many large stages under way as the CPUs can give a helper each: one more gets none.
int busy() {
    if (!tessarel::populate_write || tessarel::usable_cpus() < 2) return 77;
    tessarel::PageAdvisor others_advisor{quiet};
    tessarel::PageAdvisor advisor{record};
    Ranges ranges;
    {
        std::vector<std::unique_ptr<LargeLoad>> others;
        for (int stage = 0; stage < tessarel::usable_cpus() / 2; ++stage) {
            others.push_back(std::make_unique<LargeLoad>(ranges.spans, others_advisor));
        }
        { const LargeLoad load(ranges.spans, advisor); }
    }
    check(calls.empty(), "no helper for one stage more");
    { const LargeLoad load(ranges.spans, advisor); }
    check(calls.size() == Ranges::pieces, "a helper again once the others are done");
    return 0;
}

// Other loads start while the helper works, enough to take every CPU: it stops after the piece
// in hand.
int crowd(void* start, std::size_t size, int advice) {
    if (calls.empty()) tessarel::large_stages_under_way.fetch_add(tessarel::usable_cpus());
    return record(start, size, advice);
}

int stands_down() {
    if (!tessarel::populate_write || tessarel::usable_cpus() < 2) return 77;
    tessarel::PageAdvisor advisor{crowd};
    Ranges ranges;
    { const LargeLoad load(ranges.spans, advisor); }
    tessarel::large_stages_under_way.fetch_sub(tessarel::usable_cpus());
    check(calls.size() == 1, "the helper stands down when other loads take the CPUs");
    return 0;
}

// Every piece takes long: the load fails while the helper is at its first.
int slow(void* start, std::size_t size, int advice) {
    const int status = record(start, size, advice);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return status;
}

int load_fails() {
    if (!tessarel::populate_write || tessarel::usable_cpus() < 2) return 77;
    tessarel::PageAdvisor advisor{slow};
    Ranges ranges;
    try {
        const LargeLoad load(ranges.spans, advisor);
        for (bool started = false; !started; std::this_thread::yield()) {
            const std::lock_guard lock(calls_mutex);
            started = !calls.empty();
        }
        throw std::runtime_error("damaged file");
    } catch (const std::runtime_error&) {}
    check(calls.size() < Ranges::pieces, "the helper stops when the load fails");
    return 0;
}

int refused() {
    if (!tessarel::populate_write || tessarel::usable_cpus() < 2) return 77;
    tessarel::PageAdvisor advisor{record};
    refuse = true;
    Ranges ranges;
    { const LargeLoad load(ranges.spans, advisor); }
    check(calls.size() == 1, "the helper stops at the first refusal");
    check(advisor.refused.load(), "the refusal is remembered");
    calls.clear();
    { const LargeLoad load(ranges.spans, advisor); }
    check(calls.empty(), "later loads start no helper");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view name = argc == 2 ? argv[1] : "";
    int status = 2;
    if (name == "helps") status = helps();
    if (name == "small") status = stays_home(tessarel::large_buffer_bytes - 1);
    if (name == "one_cpu") status = one_cpu();
    if (name == "uncounted") status = uncounted();
    if (name == "busy") status = busy();
    if (name == "stands_down") status = stands_down();
    if (name == "load_fails") status = load_fails();
    if (name == "refused") status = refused();
    if (status == 2)
        std::fprintf(stderr,
                     "usage: page_prefault_check helps|small|one_cpu|uncounted|busy|stands_down|load_fails|refused\n");
    return status != 0 ? status : failures == 0 ? 0 : 1;
}
