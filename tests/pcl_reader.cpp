// Reads a PCD file with PCL's PCDReader, the reference reader, and prints what it read, for
// the tests to hold against what tessarel loads from the same file:
//
//     points N
//     <name> <PCL datatype> <count> <hex of the field's bytes, point after point>
//
// one line a field, in PCL's order. Exits 1 when PCL refuses the file.

#include <pcl/PCLPointCloud2.h>
#include <pcl/io/pcd_io.h>

#include <cstdint>
#include <cstdio>

namespace {

std::size_t element_bytes(std::uint8_t datatype) {
    switch (datatype) {
    case pcl::PCLPointField::INT8:
    case pcl::PCLPointField::UINT8: return 1;
    case pcl::PCLPointField::INT16:
    case pcl::PCLPointField::UINT16: return 2;
    case pcl::PCLPointField::FLOAT64:
    case pcl::PCLPointField::INT64:
    case pcl::PCLPointField::UINT64: return 8;
    default: return 4;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: pcl_reader FILE.pcd\n");
        return 2;
    }
    pcl::PCLPointCloud2 cloud;
    pcl::PCDReader reader;
    if (reader.read(argv[1], cloud) < 0) return 1;
    const std::size_t points = static_cast<std::size_t>(cloud.width) * cloud.height;
    std::printf("points %zu\n", points);
    for (const pcl::PCLPointField& field : cloud.fields) {
        std::printf("%s %u %u ", field.name.c_str(), static_cast<unsigned>(field.datatype), field.count);
        const std::size_t bytes = element_bytes(field.datatype) * field.count;
        for (std::size_t point = 0; point < points; ++point) {
            const std::uint8_t* at = cloud.data.data() + point * cloud.point_step + field.offset;
            for (std::size_t b = 0; b < bytes; ++b) std::printf("%02x", at[b]);
        }
        std::printf("\n");
    }
    return 0;
}
