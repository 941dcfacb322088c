#include "pcd/pcd_loader.hpp"

#include "pcd/array_assembly.hpp"
#include "pcd/pcd_reader.hpp"

namespace tessarel {

namespace {

// Reading and decoding touch no Python object, so other threads run meanwhile. An exception
// leaves through the guard, which takes the lock back before pybind11 translates it.
PcdCloud read_without_gil(const std::string& filename) {
    const pybind11::gil_scoped_release released;
    return read_pcd_file(filename);
}

}  // namespace

std::pair<pybind11::array, pybind11::dict> load_pcd(const std::string& filename) {
    PcdCloud cloud = read_without_gil(filename);
    return assemble_arrays(std::move(cloud.buffer), cloud.header, cloud.xyz);
}

}  // namespace tessarel
