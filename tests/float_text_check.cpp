// Holds write_float_text against std::to_chars: the same text, byte for byte, and that text reads
// back to the same bits.
//   float_text_check floats              every one of the 2^32 float bit patterns, on every CPU
//   float_text_check doubles COUNT SEED  the edge cases of double, then COUNT random values of
//                                        each kind: any bit pattern, a short decimal, a large integer
// Prints the first mismatches and a summary; exits 0 when every value agrees, 1 when not.

#include <fast_float/fast_float.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include "pcd/write/float_text.hpp"

namespace {

template <class Float>
using BitsOf = std::conditional_t<sizeof(Float) == 4, std::uint32_t, std::uint64_t>;

std::mutex report_mutex;
std::atomic<std::uint64_t> mismatches{0};

template <class Float>
void report(Float value, std::string_view ours, std::string_view theirs, const char* what) {
    if (mismatches.fetch_add(1) >= 20) return;
    const std::lock_guard lock(report_mutex);
    std::printf("bits %#llx: ours \"%.*s\", std::to_chars \"%.*s\": %s\n",
                static_cast<unsigned long long>(std::bit_cast<BitsOf<Float>>(value)), static_cast<int>(ours.size()),
                ours.data(), static_cast<int>(theirs.size()), theirs.data(), what);
}

template <class Float>
void check(Float value) {
    char ours[tessarel::longest_float_text];
    char theirs[64];
    const std::string_view mine(ours, static_cast<std::size_t>(tessarel::write_float_text(ours, value) - ours));
    const std::string_view reference(theirs,
                                     static_cast<std::size_t>(std::to_chars(theirs, theirs + 64, value).ptr - theirs));
    if (mine != reference) return report(value, mine, reference, "texts differ");
    if (std::is_same_v<Float, float> && mine.size() > tessarel::longest_float32_text) {
        return report(value, mine, reference, "longer than longest_float32_text");
    }
    Float back = 0;
    const auto parsed = fast_float::from_chars(mine.data(), mine.data() + mine.size(), back);
    const bool same = std::isnan(value) ? std::isnan(back) && std::signbit(back) == std::signbit(value)
                                        : std::bit_cast<BitsOf<Float>>(back) == std::bit_cast<BitsOf<Float>>(value);
    if (parsed.ptr != mine.data() + mine.size() || !same) report(value, mine, reference, "does not read back");
}

int check_floats() {
    const unsigned workers = std::max(1u, std::thread::hardware_concurrency());
    std::atomic<std::uint64_t> next_block{0};
    constexpr std::uint64_t block = 1 << 20;
    constexpr std::uint64_t patterns = std::uint64_t{1} << 32;
    std::vector<std::thread> threads;
    for (unsigned w = 0; w < workers; ++w) {
        threads.emplace_back([&] {
            for (std::uint64_t first; (first = next_block.fetch_add(block)) < patterns;) {
                for (std::uint64_t bits = first; bits < first + block; ++bits) {
                    check(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::printf("%llu of %llu float bit patterns differ (%u threads)\n",
                static_cast<unsigned long long>(mismatches.load()), static_cast<unsigned long long>(patterns), workers);
    return mismatches.load() == 0 ? 0 : 1;
}

std::vector<double> double_edges() {
    using limits = std::numeric_limits<double>;
    std::vector<double> edges = {0.0,
                                 limits::min(),
                                 limits::max(),
                                 limits::denorm_min(),
                                 std::nextafter(limits::min(), 0.0),
                                 limits::epsilon(),
                                 limits::infinity(),
                                 limits::quiet_NaN(),
                                 std::bit_cast<double>(std::uint64_t{0x7ff0000000000001}),  // signalling NaN
                                 std::bit_cast<double>(std::uint64_t{0x7fffffffffffffff}),
                                 9007199254740992.0,      // 2^53
                                 18446744073709551616.0,  // 2^64
                                 1e22,
                                 1e23,
                                 0.1,
                                 0.3,
                                 5e-324,
                                 1.7976931348623157e308};
    for (int exponent = -325; exponent <= 309; ++exponent) {
        const double power = std::strtod(("1e" + std::to_string(exponent)).c_str(), nullptr);
        edges.insert(edges.end(), {power, std::nextafter(power, 0.0), std::nextafter(power, limits::infinity())});
    }
    for (int exponent = -1075; exponent <= 1024; ++exponent) edges.push_back(std::ldexp(1.0, exponent));
    const std::size_t positive = edges.size();
    for (std::size_t i = 0; i < positive; ++i) edges.push_back(-edges[i]);
    return edges;
}

int check_doubles(std::uint64_t count, std::uint64_t seed) {
    const std::vector<double> edges = double_edges();
    for (const double value : edges) check(value);
    std::mt19937_64 random(seed);
    std::uniform_int_distribution<int> decimal_exponent(-330, 310);
    std::uniform_int_distribution<int> digits(1, 17);
    std::uniform_int_distribution<int> binary_exponent(53, 73);
    for (std::uint64_t i = 0; i < count; ++i) {
        check(std::bit_cast<double>(random()));
        // A decimal of few digits, the usual content of a cloud.
        std::uint64_t below = 1;
        for (int d = digits(random); d > 0; --d) below *= 10;
        const std::string text = std::to_string(random() % below) + "e" + std::to_string(decimal_exponent(random));
        check(std::strtod(text.c_str(), nullptr));
        // An integer past 2^53, which fixed notation writes exactly.
        check(std::ldexp(static_cast<double>(random() >> 11), binary_exponent(random) - 53));
    }
    std::printf("%llu of %llu doubles differ\n", static_cast<unsigned long long>(mismatches.load()),
                static_cast<unsigned long long>(edges.size() + 3 * count));
    return mismatches.load() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view mode = argc > 1 ? argv[1] : "";
    if (mode == "floats" && argc == 2) return check_floats();
    if (mode == "doubles" && argc == 4)
        return check_doubles(std::strtoull(argv[2], nullptr, 10), std::strtoull(argv[3], nullptr, 10));
    std::fprintf(stderr, "usage: float_text_check floats | doubles COUNT SEED\n");
    return 2;
}
