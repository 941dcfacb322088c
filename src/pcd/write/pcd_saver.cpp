#include "pcd/write/pcd_saver.hpp"

#include <span>
#include <vector>

#include "pcd/io/file_output.hpp"
#include "pcd/io/interruption.hpp"
#include "pcd/parallel/ordered_pieces.hpp"
#include "pcd/write/ascii_encoder.hpp"
#include "pcd/write/binary_encoder.hpp"
#include "pcd/write/cloud_checks.hpp"
#include "pcd/write/compressed_encoder.hpp"
#include "pcd/write/header_text.hpp"

namespace tessarel {
namespace {

// The fields as the encoding writes them, so that the reference reader reads every file back
// as saved. In binary_compressed it expects no column for padding fields named `_` (and
// misplaces every column after one), so they are left out. In ascii a float32 `rgb` or `rgba`
// is a packed colour, often a NaN bit pattern that text would lose: it is written as U 4, its
// bits, as the reference writer writes it.
CloudToWrite as_encoded(const CloudToWrite& cloud) {
    CloudToWrite encoded = cloud;
    if (cloud.encoding == Encoding::binary_compressed) {
        std::vector<FieldLayout> fields;
        encoded.values.clear();
        for (std::size_t i = 0; i < cloud.record.fields.size(); ++i) {
            if (cloud.record.fields[i].name == padding_name) continue;
            fields.push_back(cloud.record.fields[i]);
            encoded.values.push_back(cloud.values[i]);
        }
        encoded.record = lay_out(std::move(fields));
    }
    if (cloud.encoding == Encoding::ascii) {
        for (FieldLayout& field : encoded.record.fields) {
            const bool colour = field.name == "rgb" || field.name == "rgba";
            if (colour && field.type == ElementType::f32) field.type = ElementType::u32;  // as wide: offsets stay
        }
    }
    return encoded;
}

// The pieces the data section is made in; binary records are copied out on this thread.
std::size_t data_pieces(const CloudToWrite& cloud) {
    switch (cloud.encoding) {
    case Encoding::ascii: return ascii_pieces(cloud);
    case Encoding::binary: return 0;
    case Encoding::binary_compressed: return compressed_pieces(cloud);
    }
    return 0;
}

// The data section after the header, which ends at `offset`. A save made on several CPUs is
// counted as a large stage while it is made.
void write_data(const CloudToWrite& cloud, AtomicFile& file, std::uint64_t offset) {
    const LargeStage stage(data_pieces(cloud) >= parallel_save_pieces);
    switch (cloud.encoding) {
    case Encoding::ascii: write_ascii_data(cloud, file, stage.share()); break;
    case Encoding::binary: write_binary_data(cloud, file); break;
    case Encoding::binary_compressed: write_compressed_data(cloud, file, offset, stage.share()); break;
    }
}

}  // namespace

void save_pcd_file(const std::string& filename, const CloudToWrite& to_write) {
    const CloudToWrite cloud = as_encoded(to_write);
    check_cloud_to_write(cloud);
    const std::string header = header_text(cloud);
    AtomicFile file(filename);
    file.write(std::as_bytes(std::span<const char>(header)));
    write_data(cloud, file, header.size());
    check_for_interruption_now();  // a save stopped at its very end leaves the target as it was too
    file.commit();
}

}  // namespace tessarel
