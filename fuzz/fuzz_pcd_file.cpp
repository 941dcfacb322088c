// Arbitrary bytes as a whole PCD file: header, layout checks, then whichever decoder the
// header names. Every input must end in a cloud or a C++ exception.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <sstream>
#include <string>

#include "cloud_checks.hpp"

namespace {

// An ASCII record with gaps that no value fills may be as large as the header says, however
// short the text: such a cloud is reserved in full, which here would only measure the
// machine's memory.
bool declares_unfilled_gigabytes(const std::string& file) {
    std::istringstream in(file);
    const tessarel::PcdLayout layout = tessarel::make_layout(tessarel::parse_pcd_header(in));
    return layout.encoding == tessarel::Encoding::ascii && !layout.packed && layout.buffer_size > (std::size_t{1} << 30);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string file(reinterpret_cast<const char*>(data), size);
    try {
        if (declares_unfilled_gigabytes(file)) return 0;
        std::istringstream in(file);
        tessarel::fuzz::check_cloud(tessarel::read_pcd(in));
    } catch (const std::exception&) {
    }
    return 0;
}
