#pragma once
// The block of a binary_compressed file written a part at a time. Parts are usually far smaller
// than the pieces a save encodes its columns in, so their columns are first copied, field by
// field, into a few MiB of staging; when it fills, it is encoded as a save encodes a cloud of
// that many points, in pieces of a MiB on the CPUs a save may take. The first field's column
// goes to the file as its pieces come, when the file can seek (its header is rewritten last);
// the other columns are kept in memory, compressed, and written when the block is complete.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "pcd/io/byte_buffer.hpp"
#include "pcd/io/file_output.hpp"
#include "pcd/write/cloud_to_write.hpp"

namespace tessarel {

// The staging a stream copies parts into: its pieces, and so the work each encoding hands the
// CPUs, are as large as a save's, and it holds a piece or more of every column.
inline constexpr std::size_t staged_record_bytes = std::size_t{32} << 20;

class CompressedStream {
public:
    // The columns of `record`'s fields go to `file`, which stands where the block begins when
    // `first_to_file`; it outlives the stream.
    CompressedStream(const RecordLayout& record, AtomicFile& file, bool first_to_file);

    // Stages `part`, which has the record's fields, and encodes what fills the staging.
    void add(const CloudToWrite& part);

    // Encodes what is staged and returns the block's bytes. When the first column went to the
    // file, the others follow it there: the block is in the file.
    std::uint64_t finish();

    // Writes the kept columns in order, releasing their bytes as they go, when the first did
    // not go to the file: after finish(), and after the header it could not write before.
    void write_kept();

private:
    // Compressed bytes kept in chunks that take huge pages, each as large as what the column
    // held before it: few chunks, and few page faults, however long the column.
    class KeptBytes {
    public:
        void append(std::span<const std::byte> bytes);
        std::uint64_t size() const noexcept { return size_; }
        void write_to(AtomicFile& file);

    private:
        std::vector<ByteBuffer> chunks_;
        std::size_t last_used_ = 0;  // of the last chunk
        std::uint64_t size_ = 0;
    };

    // Encodes `cloud`, whose fields are the record's, and passes its pieces on in order.
    void encode(const CloudToWrite& cloud);
    void encode_staged();
    std::byte* staged_column(std::size_t field) noexcept;
    void write_kept(std::size_t field);

    RecordLayout record_;
    AtomicFile& file_;
    const bool first_to_file_;
    std::size_t stage_capacity_;  // points
    // The fields' columns, packed, one after another as the fields lie in a record, each with
    // room for the capacity's points: huge pages, since it is filled over and over.
    ByteBuffer staging_;
    std::size_t staged_points_ = 0;
    std::vector<KeptBytes> kept_;  // each field's compressed column
    std::uint64_t compressed_ = 0;
    bool last_ = false;      // the staged points are the last: their pieces follow the kept columns
    bool reserved_ = false;  // the file has allocated the kept columns' blocks
};

}  // namespace tessarel
