#pragma once
// tessarel.iter_pcd and its iterator: a file read a chunk of points at a time, each chunk
// decoded with the interpreter lock released and handed to Python as load_pcd hands a cloud.
// The file stays open until the last chunk, close(), the end of a with block, or collection.

#include <pybind11/pybind11.h>

namespace tessarel {

void register_pcd_iterator(pybind11::module_& module);

}  // namespace tessarel
