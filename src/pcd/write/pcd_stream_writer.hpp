#pragma once
// A PCD file written a part at a time. The first part fixes the fields; each part of a binary or
// ascii file is encoded as it comes, and written on a thread of the writer's while the caller
// goes on (background_writes.hpp), after a header whose counts are written when the file is
// complete; a binary_compressed file, whose one block holds every column, keeps the compressed
// columns after the first in memory until then (compressed_stream.hpp). The file is written
// under a temporary name and put in the target's place only when complete, as AtomicFile does.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "pcd/io/background_writes.hpp"
#include "pcd/io/file_output.hpp"
#include "pcd/parallel/ordered_pieces.hpp"
#include "pcd/write/cloud_to_write.hpp"
#include "pcd/write/compressed_stream.hpp"

namespace tessarel {

struct StreamSettings {
    Encoding encoding = Encoding::binary;
    std::uint64_t height = 1;  // WIDTH is the total divided by it
    std::array<double, 7> viewpoint{0, 0, 0, 1, 0, 0, 0};
    // The total, when it is known before the first part: the header is then written once, as it
    // stands, and a target that cannot seek is written straight through.
    std::optional<std::size_t> points;
};

class PcdStreamWriter {
public:
    // Opens the target as AtomicFile does, throwing FileError as it does. Throws
    // std::invalid_argument for a target that cannot seek where the header must be rewritten.
    PcdStreamWriter(const std::string& filename, const StreamSettings& settings);

    // Throws std::invalid_argument, having written nothing, when `part` cannot be written: its
    // fields differ from the first part's, or the points would exceed what a file holds. Any
    // other exception, such as an earlier part's failure to reach the file, which this call or
    // complete() raises, leaves the file unfinished, and the writer should be discarded.
    void write(const CloudToWrite& part);

    // Writes the counts and puts the file in place. Throws std::invalid_argument, having
    // written nothing, when the total does not fill rows of the settings' height.
    void complete();

private:
    void write_part_behind(const CloudToWrite& encoded);
    void write_text_part(const CloudToWrite& encoded);
    void begin(const RecordLayout& encoded);
    void write_reserved_header();
    void rewrite_header(const CloudToWrite& counts);
    void start_columns();
    CloudToWrite whole(std::size_t points) const;
    void complete_compressed(const CloudToWrite& counts);

    StreamSettings settings_;
    AtomicFile file_;
    std::optional<RecordLayout> fields_;  // the first part's fields, as the caller gave them
    RecordLayout encoded_;                // those the encoding writes
    std::size_t header_bytes_ = 0;        // of the header written with reserved counts; 0 before
    bool section_written_ = false;        // the whole data section is in the file
    std::size_t points_ = 0;
    std::unique_ptr<CompressedStream> columns_;  // binary_compressed written in several parts
    PieceBuffers text_pieces_;                   // where ascii parts' pieces are made, kept from part to part
    // Binary and ascii parts written on a thread of their own; declared after file_, so stopped first.
    std::optional<BackgroundWrites> background_;
};

}  // namespace tessarel
