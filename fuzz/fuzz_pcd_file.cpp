// Arbitrary bytes as a whole PCD file: header, layout checks, then whichever decoder the
// header names. Every input must end in a cloud or a C++ exception.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <sstream>
#include <string>

#include "cloud_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string file(reinterpret_cast<const char*>(data), size);
    try {
        std::istringstream in(file);
        tessarel::fuzz::check_cloud(tessarel::read_pcd(in), file.size());
    } catch (const std::exception&) {
    }
    return 0;
}
