#include "pcd/write/pcd_saver.hpp"

#include "pcd/write/cloud_checks.hpp"
#include "pcd/write/pcd_stream_writer.hpp"

namespace tessarel {

// One part of a stream that knows its total: the header is written once, as it stands, and a
// binary_compressed cloud is encoded straight from the caller's arrays.
void save_pcd_file(const std::string& filename, const CloudToWrite& cloud) {
    // The counts and the organisation are checked before the target is opened; the part's
    // fields, as its encoding writes them, by the write.
    CloudToWrite counts = cloud;
    counts.record = lay_out({});
    check_cloud_to_write(counts);
    PcdStreamWriter stream(filename, {cloud.encoding, cloud.height, cloud.viewpoint, cloud.points});
    stream.write(cloud);
    stream.complete();
}

}  // namespace tessarel
