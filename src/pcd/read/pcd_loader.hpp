#pragma once
// The load driver: turns a PCD file into its checked layout and decoded bytes, one stage
// after another. Free of Python, so tests, fuzzers and benchmarks drive the whole core.
// `names` chooses the fields a load keeps (field_selection.hpp); none keeps them all.

#include <cstddef>
#include <span>
#include <string>

#include "pcd/format/pcd_header.hpp"
#include "pcd/io/input_source.hpp"
#include "pcd/read/field_selection.hpp"
#include "pcd/read/pcd_cloud.hpp"

namespace tessarel {

// Reads from `in`, positioned at the first byte of the header.
PcdCloud read_pcd(InputSource& in, const FieldRequest& names = std::nullopt);

// Reads the PCD file that `bytes` holds, where they lie.
PcdCloud read_pcd_buffer(std::span<const std::byte> bytes, const FieldRequest& names = std::nullopt);

// Opens `filename` and reads it.
PcdCloud read_pcd_file(const std::string& filename, const FieldRequest& names = std::nullopt);

// Maps a binary `filename` and reads it in place: the cloud's records are the mapping's own
// pages, read from the file only when touched. The other encodings are read as
// read_pcd_file reads them, after the same checks of the file's size.
PcdCloud read_pcd_mapped(const std::string& filename, const FieldRequest& names = std::nullopt);

// The header of `filename` alone, after the same checks a load makes of it.
PcdHeader read_pcd_header_file(const std::string& filename);

}  // namespace tessarel
