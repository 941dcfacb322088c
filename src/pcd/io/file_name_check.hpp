#pragma once
// File names as the system calls take them: NUL-terminated, so a NUL inside would cut the name
// short and name another file.

#include <stdexcept>
#include <string>

namespace tessarel {

inline void check_file_name(const std::string& filename) {
    if (filename.find('\0') != std::string::npos) throw std::invalid_argument("PCD file name contains a NUL byte");
}

}  // namespace tessarel
