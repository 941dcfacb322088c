#include "pcd/read/pcd_loader.hpp"

#include <stdexcept>

#include "pcd/io/file_source.hpp"
#include "pcd/io/memory_source.hpp"
#include "pcd/parallel/cpu_share.hpp"
#include "pcd/read/ascii_decoder.hpp"
#include "pcd/read/binary_decoder.hpp"
#include "pcd/read/compressed_decoder.hpp"
#include "pcd/read/field_selection.hpp"

namespace tessarel {

namespace {

PcdCloud point_records(PcdLayout layout, PointBuffer buffer) {
    std::vector<FieldPlacement> placements = record_placements(layout);
    return {std::move(layout), std::move(buffer), std::move(placements)};
}

}  // namespace

PcdCloud read_pcd(InputSource& in) {
    PcdLayout layout = make_layout(parse_pcd_header(in));
    // Counted while its decoder runs: large loads and saves share the CPUs out.
    const LargeStage stage(layout.buffer_size >= large_buffer_bytes);
    switch (layout.encoding) {
    case Encoding::ascii: {
        PointBuffer buffer = read_ascii_data(in, layout, select_all(layout), stage.share());
        return point_records(std::move(layout), std::move(buffer));
    }
    case Encoding::binary: {
        PointBuffer buffer = read_binary_data(in, layout, stage.share());
        return point_records(std::move(layout), std::move(buffer));
    }
    case Encoding::binary_compressed: {
        ColumnBlock block = read_compressed_data(in, layout, select_all(layout), stage.share());
        return {std::move(layout), std::move(block.buffer), std::move(block.columns)};
    }
    }
    throw std::logic_error("unknown encoding");
}

PcdCloud read_pcd_buffer(std::span<const std::byte> bytes) {
    MemorySource in(bytes);
    return read_pcd(in);
}

PcdCloud read_pcd_file(const std::string& filename) {
    FileSource in(filename);
    return read_pcd(in);
}

PcdHeader read_pcd_header_file(const std::string& filename) {
    FileSource in(filename);
    PcdHeader header = parse_pcd_header(in);
    make_layout(header);
    return header;
}

}  // namespace tessarel
