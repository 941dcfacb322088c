#pragma once
// A save's data section made a piece at a time, on the CPUs the save may take, and written in
// order: pieces are independent (lines of text, blocks of compressed columns), so any thread
// can make any of them, and only the writing has an order.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "pcd/io/file_output.hpp"
#include "pcd/parallel/cpu_share.hpp"

namespace tessarel {

// Saves of fewer pieces are made on the caller's thread alone: threads would cost more than
// they save. Their drivers count them as small stages.
inline constexpr std::size_t parallel_save_pieces = 4;

// Makes piece `piece` into `out` and returns its size. `scratch` is the calling thread's own.
using MakePiece = std::function<std::size_t(std::size_t piece, std::span<std::byte> out, std::span<std::byte> scratch)>;

struct PieceShape {
    std::size_t count;          // pieces in all
    std::size_t most_bytes;     // the largest a piece can be
    std::size_t scratch_bytes;  // what making one needs besides
    // Made pieces held for each thread: enough that the helpers keep working while the caller's
    // thread waits for the file system to take a write. Pieces made faster than they are written
    // need only two, and fewer fresh pages to fault in.
    std::size_t held_per_thread = 8;
};

// Takes the pieces in order: the next piece's bytes, valid for the call.
using PieceSink = std::function<void(std::span<const std::byte> piece)>;

// The buffers pieces are made in, kept from one run of pieces to the next by a caller that
// makes many (a map written a part at a time): fresh ones would take a page fault every 4 KiB
// of text each time, since the allocator hands memory this large back to the system.
class PieceBuffers {
public:
    // Buffer `index`, of `bytes` at least: the one kept, when it is as large.
    std::byte* at(std::size_t index, std::size_t bytes);

private:
    struct Buffer {
        std::unique_ptr<std::byte[]> bytes;
        std::size_t size = 0;
    };
    std::vector<Buffer> buffers_;
};

// Hands pieces [0, count) to `sink` in order and returns their bytes, made on the save's
// `share` of the CPUs (helpers stand down when later loads and saves take them).
std::uint64_t make_pieces_in_order(const PieceShape& shape, const MakePiece& make, const PieceSink& sink,
                                   CpuShare share);
// The same, made in `buffers`.
std::uint64_t make_pieces_in_order(const PieceShape& shape, const MakePiece& make, const PieceSink& sink,
                                   CpuShare share, PieceBuffers& buffers);

// Writes pieces [0, count) to `file` in order and returns the bytes written.
std::uint64_t write_pieces_in_order(const PieceShape& shape, const MakePiece& make, AtomicFile& file, CpuShare share);

}  // namespace tessarel
