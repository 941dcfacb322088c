#pragma once
// A PCD file read a run of points at a time, in file order: the load pipeline over part of
// the points. Binary and ASCII chunks hold only their own points, and reading one holds no
// more than a few MiB besides; a compressed block holds every column at once, so its kept
// columns are decoded at the first chunk and every chunk is a view of them.

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "pcd/format/pcd_header.hpp"
#include "pcd/io/input_source.hpp"
#include "pcd/read/ascii_chunks.hpp"
#include "pcd/read/field_selection.hpp"
#include "pcd/read/pcd_cloud.hpp"

namespace tessarel {

class PcdChunks {
public:
    // Reads the header from `in`, positioned at its first byte, with the checks a load makes of it.
    PcdChunks(std::unique_ptr<InputSource> in, const FieldRequest& names);
    PcdChunks(const PcdChunks&) = delete;
    PcdChunks& operator=(const PcdChunks&) = delete;

    const PcdHeader& header() const noexcept { return header_; }

    // The next `points` points, fewer only at the end; none after the last. An error names
    // points by their index in the file, as a whole load does. A compressed block is decoded
    // at the first call even for no points, so that it fails as a whole load would.
    std::optional<PcdCloud> next(std::size_t points);

private:
    PcdCloud next_records(std::size_t points);
    void decode_block();
    PcdCloud next_columns(std::size_t points);

    std::unique_ptr<InputSource> in_;
    PcdHeader header_;
    PcdLayout layout_;
    FieldSelection selection_;
    std::size_t done_ = 0;  // points handed out
    std::optional<AsciiChunks> ascii_;
    std::optional<SharedBytes> block_;  // the decoded columns of a compressed block
    std::vector<FieldPlacement> columns_;
};

}  // namespace tessarel
