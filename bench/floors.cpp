// The hardware floors that the loader is measured against: only parsing the ASCII tokens
// with fast_float, or only decoding the LZF block. Prints the median seconds of N runs.
//   floors ascii FILE TYPES RUNS      (TYPES: one letter per value of a point, F or U)
//   floors lzf FILE RUNS

#include <fast_float/fast_float.h>
#include <lzf.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::string data_section(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line) && line.rfind("DATA", 0) != 0) {}
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <class Work>
double median_seconds(int runs, Work work) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// Parses every token as its value's type into a reused array; nothing else.
double ascii_floor(const std::string& text, const std::string& types, int runs) {
    std::vector<float> floats;
    std::vector<std::uint64_t> integers;
    return median_seconds(runs, [&] {
        floats.clear();
        integers.clear();
        const char* p = text.data();
        const char* end = p + text.size();
        while (true) {
            for (const char type : types) {
                while (p != end && static_cast<signed char>(*p) <= ' ') ++p;
                if (p == end) return;
                if (type == 'F') {
                    float value = 0;
                    p = fast_float::from_chars(p, end, value).ptr;
                    floats.push_back(value);
                } else {
                    std::uint64_t value = 0;
                    p = fast_float::from_chars(p, end, value).ptr;
                    integers.push_back(value);
                }
            }
        }
    });
}

double lzf_floor(const std::string& block, int runs) {
    std::uint32_t compressed = 0;
    std::uint32_t uncompressed = 0;
    std::memcpy(&compressed, block.data(), 4);
    std::memcpy(&uncompressed, block.data() + 4, 4);
    std::vector<char> out(uncompressed);
    return median_seconds(runs, [&] {
        if (lzf_decompress(block.data() + 8, compressed, out.data(), uncompressed) != uncompressed) {
            std::fprintf(stderr, "lzf_decompress failed\n");
        }
    });
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "ascii") == 0) {
        std::printf("%.6f\n", ascii_floor(data_section(argv[2]), argv[3], std::atoi(argv[4])));
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "lzf") == 0) {
        std::printf("%.6f\n", lzf_floor(data_section(argv[2]), std::atoi(argv[3])));
        return 0;
    }
    std::fprintf(stderr, "usage: floors ascii FILE TYPES RUNS | floors lzf FILE RUNS\n");
    return 2;
}
