#pragma once
// What array assembly relies on in every cloud the reader returns. A fuzz input that breaks
// one of these is reported as a crash.

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "pcd/lzf/lzf_decoder.hpp"
#include "pcd/read/pcd_loader.hpp"

namespace tessarel::fuzz {

inline void require(bool holds) {
    if (!holds) std::abort();
}

// The most a cloud may take of a file of `file_bytes`: a load never reserves memory that its
// own bytes do not justify. ASCII takes at most 8 bytes for a value of two bytes of text
// (itself and a separator), binary its records, compressed LZF's largest expansion.
inline std::uint64_t buffer_bound(Encoding encoding, std::uint64_t file_bytes) {
    switch (encoding) {
    case Encoding::ascii: return 4 * (file_bytes + 1);
    case Encoding::binary: return file_bytes;
    case Encoding::binary_compressed: return lzf_max_expansion * file_bytes;
    }
    return 0;
}

inline void check_cloud(const PcdCloud& cloud, std::uint64_t file_bytes) {
    const PcdLayout& layout = cloud.layout;
    const std::uint64_t bound = buffer_bound(layout.encoding, file_bytes);
    require(cloud.buffer.size() <= bound && layout.buffer_size <= bound);
    require(layout.point_step == 0 || layout.points <= max_cloud_bytes / layout.point_step);
    require(layout.buffer_size == layout.points * layout.point_step);
    require(layout.encoding == Encoding::binary_compressed || cloud.buffer.size() == layout.buffer_size);
    require(cloud.placements.size() == layout.fields.size());
    // The fields lie back to back and fill the record.
    std::size_t next = 0;
    for (const FieldLayout& field : layout.fields) {
        require(field.offset == next);
        next += field.bytes();
    }
    require(next == layout.point_step);
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
        require((layout.points - 1) <=
                (cloud.buffer.size() - place.base - field.bytes()) / std::max<std::size_t>(place.stride, 1));
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
