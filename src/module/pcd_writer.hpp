#pragma once
// tessarel.PcdWriter: a PCD file written a part at a time, over the core's stream writer. Each
// write reads its arguments as save_pcd reads them and encodes with the interpreter lock
// released; one thread at a time may use a writer, and another's call meanwhile is refused.

#include <pybind11/pybind11.h>

namespace tessarel {

void register_pcd_writer(pybind11::module_& module);

}  // namespace tessarel
