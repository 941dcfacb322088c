#include "pcd/pcd_loader.hpp"

#include "pcd/array_assembly.hpp"
#include "pcd/pcd_reader.hpp"

namespace tessarel {

std::pair<pybind11::array, pybind11::dict> load_pcd(const std::string& filename) {
    PcdCloud cloud = read_pcd_file(filename);
    return assemble_arrays(std::move(cloud.buffer), cloud.header, cloud.xyz);
}

}  // namespace tessarel
