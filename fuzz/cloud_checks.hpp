#pragma once
// What array assembly relies on in every cloud the reader returns. A fuzz input that breaks
// one of these is reported as a crash.

#include <cstdlib>

#include "pcd/pcd_reader.hpp"

namespace tessarel::fuzz {

inline void require(bool holds) {
    if (!holds) std::abort();
}

inline void check_cloud(const PcdCloud& cloud) {
    const PcdHeader& header = cloud.header;
    const std::int64_t points = header.points > 0 ? header.points : 0;
    require(cloud.buffer.size() == static_cast<std::size_t>(points * header.point_step));
    for (const PcdField& field : header.fields) {
        require(field.offset >= 0 && field_bytes(field) >= 0);
        require(field.offset + field_bytes(field) <= header.point_step);
    }
    // A buffer shorter than it claims fails here. Only the ends are read: a header may
    // declare up to 2 GiB of lazily zeroed records that no value fills.
    const auto bytes = cloud.buffer.bytes();
    if (!bytes.empty()) {
        volatile std::byte ends = bytes.front() ^ bytes.back();
        (void)ends;
    }
}

}  // namespace tessarel::fuzz
