// Arbitrary bytes as the data section behind a valid header. The first byte picks the
// encoding and the field mix, so the fuzzer spends its time inside the decoders rather than
// learning the header syntax. ASCII text is decoded three times, and all must agree: whole on
// one thread, then in chunks of a few bytes on one thread and on several, so that every token
// cut by a chunk boundary is read whole and the threads report the fault that comes first.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <sstream>
#include <string>

#include "cloud_checks.hpp"
#include "data_section_file.hpp"
#include "pcd/ascii_decoder.hpp"

namespace {

// The decoded bytes, or the error message.
std::string outcome(const std::string& file, std::size_t chunk_bytes, int threads) {
    std::istringstream in(file);
    try {
        const tessarel::PcdLayout layout = tessarel::make_layout(tessarel::parse_pcd_header(in));
        const tessarel::PointBuffer buffer = tessarel::read_ascii_data(in, layout, chunk_bytes, threads);
        return {reinterpret_cast<const char*>(buffer.data()), buffer.size()};
    } catch (const std::exception& error) {
        return std::string("error: ") + error.what();
    }
}

// More threads than this machine may have CPUs, so that runs are taken in every order.
constexpr int parallel_threads = 3;

void compare_chunked(const std::string& file, std::size_t chunk_bytes) {
    const std::string whole = outcome(file, tessarel::ascii_chunk_bytes, 1);
    tessarel::fuzz::require(whole == outcome(file, chunk_bytes, 1));
    tessarel::fuzz::require(whole == outcome(file, chunk_bytes, parallel_threads));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::string file = tessarel::fuzz::data_section_file(data, size);
    std::istringstream in(file);
    try {
        tessarel::fuzz::check_cloud(tessarel::read_pcd(in), file.size());
    } catch (const std::exception&) {
    }
    if (tessarel::fuzz::data_section_encoding(data) == "ascii") compare_chunked(file, 1 + data[1] % 61);
    return 0;
}
