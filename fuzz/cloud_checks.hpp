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
    const PcdLayout& layout = cloud.layout;
    require(layout.record_size == 0 || layout.points <= max_cloud_bytes / layout.record_size);
    require(layout.buffer_size == layout.points * layout.record_size);
    require(cloud.buffer.size() == layout.buffer_size);
    for (const FieldLayout& field : layout.fields) {
        require(element_type(entry_of(field.type).type, entry_of(field.type).size) == field.type);
        require(field.count <= layout.record_size / field.element_bytes());
        require(field.offset <= layout.record_size - field.bytes());
    }
    for (const std::size_t index : layout.xyz) {
        require(index < layout.fields.size() && layout.fields[index].count >= 1);
    }
    // A buffer shorter than it claims fails here. Only the ends are read: a header may
    // declare gigabytes of lazily zeroed records that no value fills.
    const auto bytes = cloud.buffer.bytes();
    if (!bytes.empty()) {
        volatile std::byte ends = bytes.front() ^ bytes.back();
        (void)ends;
    }
}

}  // namespace tessarel::fuzz
