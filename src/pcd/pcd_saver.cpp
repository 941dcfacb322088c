#include "pcd/pcd_saver.hpp"

#include <span>

#include "pcd/ascii_encoder.hpp"
#include "pcd/binary_encoder.hpp"
#include "pcd/compressed_writer.hpp"
#include "pcd/file_output.hpp"
#include "pcd/header_writer.hpp"
#include "pcd/interruption.hpp"

namespace tessarel {

void save_pcd_file(const std::string& filename, const CloudToWrite& cloud) {
    check_cloud_to_write(cloud);
    const std::string header = header_text(cloud);
    AtomicFile file(filename);
    file.write(std::as_bytes(std::span<const char>(header)));
    switch (cloud.encoding) {
    case Encoding::ascii: write_ascii_data(cloud, file); break;
    case Encoding::binary: write_binary_data(cloud, file); break;
    case Encoding::binary_compressed: write_compressed_data(cloud, file, header.size()); break;
    }
    check_for_interruption_now();  // a save stopped at its very end leaves the target as it was too
    file.commit();
}

}  // namespace tessarel
