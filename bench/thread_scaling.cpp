// Two loads on two threads against the same two loads one after another, through the reading
// core, with the prefault helper on and off. Prints one JSON object: for "on" and "off", the
// seconds of every run for "one" thread and "two", and the CPU seconds (user and system, of
// every thread) of those runs as "one cpu" and "two cpu".
//   thread_scaling FILE_A FILE_B RUNS
// The helper is switched off as a kernel that refuses its advice switches it off.

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "pcd/parallel/page_prefault.hpp"
#include "pcd/read/pcd_loader.hpp"

namespace {

struct Times {
    std::vector<double> wall;
    std::vector<double> cpu;
};

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](timeval t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

template <class Work>
void measure(Times& times, Work work) {
    const double cpu = cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    work();
    times.wall.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    times.cpu.push_back(cpu_seconds() - cpu);
}

void one_thread(const std::string& a, const std::string& b) {
    tessarel::read_pcd_file(a);
    tessarel::read_pcd_file(b);
}

void two_threads(const std::string& a, const std::string& b) {
    std::thread other([&b] { tessarel::read_pcd_file(b); });
    tessarel::read_pcd_file(a);
    other.join();
}

void print_times(const char* name, const std::vector<double>& times, bool last) {
    std::printf("\"%s\": [", name);
    for (std::size_t i = 0; i < times.size(); ++i) std::printf("%s%.6f", i ? ", " : "", times[i]);
    std::printf("]%s", last ? "" : ", ");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: thread_scaling FILE_A FILE_B RUNS\n");
        return 2;
    }
    const std::string a = argv[1], b = argv[2];
    const int runs = std::atoi(argv[3]);
    one_thread(a, b);   // both files into the page cache
    Times times[2][2];  // [helper off, on][one thread, two]
    for (int run = 0; run < runs; ++run) {
        // Alternating, so that a slow spell of the shared machine falls on every variant.
        for (const bool helper : {run % 2 == 0, run % 2 != 0}) {
            tessarel::kernel_advisor().refused.store(!helper);
            measure(times[helper][0], [&] { one_thread(a, b); });
            measure(times[helper][1], [&] { two_threads(a, b); });
        }
    }
    std::printf("{");
    for (const bool helper : {true, false}) {
        std::printf("\"%s\": {", helper ? "on" : "off");
        print_times("one", times[helper][0].wall, false);
        print_times("two", times[helper][1].wall, false);
        print_times("one cpu", times[helper][0].cpu, false);
        print_times("two cpu", times[helper][1].cpu, true);
        std::printf("}%s", helper ? ", " : "");
    }
    std::printf("}\n");
}
