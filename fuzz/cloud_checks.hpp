#pragma once
// What array assembly relies on in every cloud the reader returns. A fuzz input that breaks
// one of these is reported as a crash.

#include <algorithm>
#include <cstdlib>

#include "pcd/pcd_loader.hpp"

namespace tessarel::fuzz {

inline void require(bool holds) {
    if (!holds) std::abort();
}

inline void check_cloud(const PcdCloud& cloud) {
    const PcdLayout& layout = cloud.layout;
    require(layout.point_step == 0 || layout.points <= max_cloud_bytes / layout.point_step);
    require(layout.buffer_size == layout.points * layout.point_step);
    require(cloud.columns || cloud.buffer.size() == layout.buffer_size);
    require(cloud.placements.size() == layout.fields.size());
    for (std::size_t i = 0; i < layout.fields.size(); ++i) {
        const FieldLayout& field = layout.fields[i];
        require(element_type(entry_of(field.type).type, entry_of(field.type).size) == field.type);
        require(field.count <= layout.point_step / field.element_bytes());
        require(field.offset <= layout.point_step - field.bytes());
        // Every element of every point lies inside the buffer.
        const FieldPlacement& place = cloud.placements[i];
        if (!place.present || layout.points == 0) continue;
        require(place.stride >= field.bytes() || layout.points == 1);
        require(place.base <= cloud.buffer.size() && field.bytes() <= cloud.buffer.size() - place.base);
        require((layout.points - 1) <= (cloud.buffer.size() - place.base - field.bytes()) / std::max<std::size_t>(place.stride, 1));
    }
    for (const std::size_t index : layout.xyz) {
        require(index < layout.fields.size() && layout.fields[index].count >= 1 && cloud.placements[index].present);
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
