#pragma once
// The bodies of tessarel.load_pcd, load_pcd_buffer and load_pcd_header: read with the
// interpreter lock released, then hand what was read to Python; and the header dict that
// iter_pcd shares with them.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <utility>

#include "module/field_names.hpp"
#include "module/file_name.hpp"
#include "pcd/format/pcd_header.hpp"

namespace tessarel {

std::pair<pybind11::array, pybind11::dict> load_pcd(const FileName& filename, const FieldNames& fields, bool mmap);

// `data` is any C-contiguous object with the buffer protocol; its bytes are read where they lie.
std::pair<pybind11::array, pybind11::dict> load_pcd_buffer(pybind11::handle data, const FieldNames& fields);

pybind11::dict load_pcd_header(const FileName& filename);

// What load_pcd_header returns for `header`.
pybind11::dict header_dict(const PcdHeader& header);

}  // namespace tessarel
