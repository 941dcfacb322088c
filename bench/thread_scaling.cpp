// Two loads on two threads against the same two loads one after another, through the reading
// core, with the prefault helper on and off. Prints one JSON object: for "on" and "off", the
// seconds of every run for "one" thread and "two".
//   thread_scaling FILE_A FILE_B RUNS
// The helper is switched off as a kernel that refuses its advice switches it off.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "pcd/page_prefault.hpp"
#include "pcd/pcd_reader.hpp"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double one_thread(const std::string& a, const std::string& b) {
    const auto start = std::chrono::steady_clock::now();
    tessarel::read_pcd_file(a);
    tessarel::read_pcd_file(b);
    return seconds_since(start);
}

double two_threads(const std::string& a, const std::string& b) {
    const auto start = std::chrono::steady_clock::now();
    std::thread other([&b] { tessarel::read_pcd_file(b); });
    tessarel::read_pcd_file(a);
    other.join();
    return seconds_since(start);
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
    one_thread(a, b);  // both files into the page cache
    std::vector<double> times[2][2];  // [helper off, on][one thread, two]
    for (int run = 0; run < runs; ++run) {
        // Alternating, so that a slow spell of the shared machine falls on every variant.
        for (const bool helper : {run % 2 == 0, run % 2 != 0}) {
            tessarel::kernel_advisor().refused.store(!helper);
            times[helper][0].push_back(one_thread(a, b));
            times[helper][1].push_back(two_threads(a, b));
        }
    }
    std::printf("{");
    for (const bool helper : {true, false}) {
        std::printf("\"%s\": {", helper ? "on" : "off");
        print_times("one", times[helper][0], false);
        print_times("two", times[helper][1], true);
        std::printf("}%s", helper ? ", " : "");
    }
    std::printf("}\n");
}
