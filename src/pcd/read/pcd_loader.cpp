#include "pcd/read/pcd_loader.hpp"

#include <stdexcept>

#include "pcd/io/file_source.hpp"
#include "pcd/io/mapped_file.hpp"
#include "pcd/io/memory_source.hpp"
#include "pcd/parallel/cpu_share.hpp"
#include "pcd/read/ascii_decoder.hpp"
#include "pcd/read/binary_decoder.hpp"
#include "pcd/read/compressed_decoder.hpp"
#include "pcd/read/field_selection.hpp"

namespace tessarel {

namespace {

PcdCloud point_records(PcdLayout kept, PointBuffer buffer) {
    std::vector<FieldPlacement> placements = record_placements(kept);
    return {std::move(kept), SharedBytes(std::move(buffer)), std::move(placements)};
}

PcdCloud read_data(InputSource& in, const PcdLayout& layout, const FieldSelection& selection) {
    PcdLayout kept = kept_layout(layout, selection, layout.points);
    // Counted while its decoder runs: large loads and saves share the CPUs out.
    const LargeStage stage(layout.buffer_size >= large_buffer_bytes);
    switch (layout.encoding) {
    case Encoding::ascii: return point_records(std::move(kept), read_ascii_data(in, layout, selection, stage.share()));
    case Encoding::binary:
        return point_records(std::move(kept), read_binary_data(in, layout, selection, stage.share()));
    case Encoding::binary_compressed: {
        ColumnBlock block = read_compressed_data(in, layout, selection, stage.share());
        return {std::move(kept), SharedBytes(std::move(block.buffer)), std::move(block.columns)};
    }
    }
    throw std::logic_error("unknown encoding");
}

// The kept fields where they lie in the mapped records: nothing is read or copied.
PcdCloud mapped_records(MappedSource& in, const PcdLayout& layout, const FieldSelection& selection) {
    check_records_held(layout, in.remaining());
    SharedBytes records = in.share(*in.view(layout.buffer_size));
    const std::vector<FieldPlacement> every = record_placements(layout);
    std::vector<FieldPlacement> placements;
    for (const std::size_t index : kept_indices(selection)) placements.push_back(every[index]);
    return {kept_layout(layout, selection, layout.points), std::move(records), std::move(placements)};
}

}  // namespace

PcdCloud read_pcd(InputSource& in, const FieldRequest& names) {
    const PcdLayout layout = make_layout(parse_pcd_header(in));
    return read_data(in, layout, select_requested(layout, names));
}

PcdCloud read_pcd_buffer(std::span<const std::byte> bytes, const FieldRequest& names) {
    MemorySource in(bytes);
    return read_pcd(in, names);
}

PcdCloud read_pcd_file(const std::string& filename, const FieldRequest& names) {
    FileSource in(filename);
    return read_pcd(in, names);
}

PcdCloud read_pcd_mapped(const std::string& filename, const FieldRequest& names) {
    FileSource file(filename);
    const std::size_t size = mappable_size(file.descriptor(), filename);
    const PcdLayout layout = make_layout(parse_pcd_header(file));
    const FieldSelection selection = select_requested(layout, names);
    // The other encodings are decoded into buffers of their own, which keep nothing of a
    // mapping: read in pieces, a file that shrinks meanwhile gives an error, not SIGBUS.
    if (layout.encoding != Encoding::binary) return read_data(file, layout, selection);
    MappedSource in(file.descriptor(), size, filename);
    in.skip(static_cast<std::size_t>(file.position()));
    return mapped_records(in, layout, selection);
}

PcdHeader read_pcd_header_file(const std::string& filename) {
    FileSource in(filename);
    PcdHeader header = parse_pcd_header(in);
    make_layout(header);
    return header;
}

}  // namespace tessarel
