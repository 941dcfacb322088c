// The hardware floors that the loader is measured against: only parsing the ASCII tokens
// with fast_float, or only decoding the LZF block. Prints the median seconds of N runs.
//   floors ascii FILE TYPES RUNS      (TYPES: one letter per value of a point, F or U)
//   floors lzf FILE RUNS
// And what ASCII saves are measured against: only writing the text of the file's values
// again, with std::to_chars and with the digit writers saves use (two medians).
//   floors ascii-save FILE TYPES RUNS

#include <fast_float/fast_float.h>
#include <lzf.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pcd/write/digit_text.hpp"
#include "pcd/write/float_text.hpp"

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

// The values of the text, floats and integers apart, in the order of the text.
struct Values {
    std::vector<float> floats;
    std::vector<std::uint64_t> integers;
};

// Parses every token as its value's type into reused arrays; nothing else.
void parse_values(const std::string& text, const std::string& types, Values& values) {
    values.floats.clear();
    values.integers.clear();
    const char* p = text.data();
    const char* end = p + text.size();
    while (true) {
        for (const char type : types) {
            while (p != end && static_cast<signed char>(*p) <= ' ') ++p;
            if (p == end) return;
            if (type == 'F') {
                float value = 0;
                p = fast_float::from_chars(p, end, value).ptr;
                values.floats.push_back(value);
            } else {
                std::uint64_t value = 0;
                p = fast_float::from_chars(p, end, value).ptr;
                values.integers.push_back(value);
            }
        }
    }
}

double ascii_floor(const std::string& text, const std::string& types, int runs) {
    Values values;
    return median_seconds(runs, [&] { parse_values(text, types, values); });
}

// Only writes the text of every value again, a line a point, into a reused buffer: floats by
// `format_float`, integers by `format_integer`. The conversions of an ASCII save, nothing else.
template <class FormatFloat, class FormatInteger>
double ascii_text_seconds(const Values& values, const std::string& types, int runs, FormatFloat format_float,
                          FormatInteger format_integer) {
    std::vector<char> text((values.floats.size() + values.integers.size()) * 32 + 1);
    return median_seconds(runs, [&] {
        char* out = text.data();
        auto next_float = values.floats.begin();
        auto next_integer = values.integers.begin();
        while (next_float != values.floats.end() || next_integer != values.integers.end()) {
            for (const char type : types) {
                out = type == 'F' ? format_float(out, *next_float++) : format_integer(out, *next_integer++);
                *out++ = ' ';
            }
            out[-1] = '\n';
        }
    });
}

// The seconds of the conversions of an ASCII save of the text's values: with std::to_chars,
// then with the formatter that saves use.
void ascii_save_conversions(const std::string& text, const std::string& types, int runs) {
    Values values;
    parse_values(text, types, values);
    const double standard = ascii_text_seconds(
        values, types, runs, [](char* out, float value) { return std::to_chars(out, out + 32, value).ptr; },
        [](char* out, std::uint64_t value) { return std::to_chars(out, out + 32, value).ptr; });
    const double ours = ascii_text_seconds(
        values, types, runs, [](char* out, float value) { return tessarel::write_float_text(out, value); },
        [](char* out, std::uint64_t value) { return tessarel::write_decimal(out, value); });
    std::printf("%.6f %.6f\n", standard, ours);
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
    if (argc == 5 && std::strcmp(argv[1], "ascii-save") == 0) {
        ascii_save_conversions(data_section(argv[2]), argv[3], std::atoi(argv[4]));
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "lzf") == 0) {
        std::printf("%.6f\n", lzf_floor(data_section(argv[2]), std::atoi(argv[3])));
        return 0;
    }
    std::fprintf(stderr, "usage: floors ascii|ascii-save FILE TYPES RUNS | floors lzf FILE RUNS\n");
    return 2;
}
