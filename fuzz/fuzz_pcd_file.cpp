// Arbitrary bytes as a whole PCD file: header, layout checks, then whichever decoder the
// header names. Every input must end in a cloud or a C++ exception.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <sstream>
#include <string>

#include "cloud_checks.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    try {
        tessarel::fuzz::check_cloud(tessarel::read_pcd(in));
    } catch (const std::exception&) {
    }
    return 0;
}
