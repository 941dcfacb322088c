#include "pcd/parallel/ordered_pieces.hpp"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "pcd/io/interruption.hpp"
#include "pcd/parallel/worker_pool.hpp"

namespace tessarel {
namespace {

// The most a parallel save holds of made pieces, whatever its thread count.
constexpr std::size_t parallel_piece_bytes = std::size_t{64} << 20;

std::unique_ptr<std::byte[]> bytes(std::size_t size) { return std::make_unique_for_overwrite<std::byte[]>(size); }

std::uint64_t write_on_this_thread(const PieceShape& shape, const MakePiece& make, const PieceSink& sink,
                                   PieceBuffers& buffers) {
    std::byte* const out = buffers.at(0, shape.most_bytes);
    std::byte* const scratch = buffers.at(1, shape.scratch_bytes);
    std::uint64_t written = 0;
    for (std::size_t piece = 0; piece < shape.count; ++piece) {
        check_for_interruption();
        const std::size_t size = make(piece, {out, shape.most_bytes}, {scratch, shape.scratch_bytes});
        sink({out, size});
        written += size;
    }
    return written;
}

// Pieces made by several threads into a ring of slots and written in order by the caller's,
// which makes pieces too whenever the next one to write is not ready. A piece is taken only
// when its slot is free, so what is held stays within the ring.
class ParallelPieces {
public:
    ParallelPieces(const PieceShape& shape, const MakePiece& make, std::size_t slots, PieceBuffers& buffers)
        : shape_(shape), make_(make), slots_(slots), scratch_(buffers.at(slots, shape.scratch_bytes)) {
        for (std::size_t i = 0; i < slots; ++i) slots_[i].bytes = buffers.at(i, shape.most_bytes);
    }

    // A helper thread: makes pieces until there are none left, the save fails, or the save's
    // share of the CPUs no longer includes it.
    void help(const Worker& worker) noexcept {
        const auto scratch = bytes(shape_.scratch_bytes);
        std::unique_lock lock(mutex_);
        while (worker.on_duty()) {
            const bool free = changed_.wait(lock, worker.stop_token(),
                                            [&] { return next_ == shape_.count || next_ < written_ + slots_.size(); });
            if (!free || next_ == shape_.count) return;
            make_next(lock, scratch.get());
        }
    }

    // The caller's thread: writes every piece in order, making those no helper took.
    std::uint64_t write_all(const PieceSink& sink) {
        std::uint64_t total = 0;
        std::unique_lock lock(mutex_);
        while (written_ < shape_.count) {
            lock.unlock();
            check_for_interruption();
            lock.lock();
            Slot& slot = slots_[written_ % slots_.size()];
            if (slot.ready) {
                lock.unlock();
                sink({slot.bytes, slot.size});
                total += slot.size;
                lock.lock();
                slot.ready = false;
                ++written_;
                changed_.notify_all();
            } else if (next_ < shape_.count && next_ < written_ + slots_.size()) {
                make_next(lock, scratch_);
            } else {
                changed_.wait(lock);
            }
        }
        return total;
    }

private:
    struct Slot {
        std::byte* bytes = nullptr;
        std::size_t size = 0;
        bool ready = false;
    };

    // Takes the next piece and makes it into its slot, without the lock.
    void make_next(std::unique_lock<std::mutex>& lock, std::byte* scratch) noexcept {
        const std::size_t piece = next_++;
        Slot& slot = slots_[piece % slots_.size()];
        lock.unlock();
        const std::size_t size = make_(piece, {slot.bytes, shape_.most_bytes}, {scratch, shape_.scratch_bytes});
        lock.lock();
        slot.size = size;
        slot.ready = true;
        changed_.notify_all();
    }

    const PieceShape& shape_;
    const MakePiece& make_;
    std::vector<Slot> slots_;
    std::byte* const scratch_;             // the caller's thread's
    std::mutex mutex_;                     // guards the slots' state and the counts
    std::condition_variable_any changed_;  // also woken when the save fails
    std::size_t next_ = 0;                 // the next piece to make
    std::size_t written_ = 0;              // pieces written; the slot of each later piece is in use
};

std::uint64_t write_in_parallel(const PieceShape& shape, const MakePiece& make, const PieceSink& sink, int threads,
                                CpuShare share, PieceBuffers& buffers) {
    const std::size_t wanted = shape.held_per_thread * static_cast<std::size_t>(threads);
    const std::size_t slots = std::max<std::size_t>(1, std::min(wanted, parallel_piece_bytes / shape.most_bytes));
    ParallelPieces parallel(shape, make, slots, buffers);
    // Whatever pieces the helpers leave, the caller's thread makes.
    const WorkerPool helpers(threads, share, [&parallel](const Worker& worker) { parallel.help(worker); });
    return parallel.write_all(sink);
}

}  // namespace

std::byte* PieceBuffers::at(std::size_t index, std::size_t size) {
    if (buffers_.size() <= index) buffers_.resize(index + 1);
    Buffer& buffer = buffers_[index];
    if (buffer.size < size) buffer = {bytes(size), size};
    return buffer.bytes.get();
}

std::uint64_t make_pieces_in_order(const PieceShape& shape, const MakePiece& make, const PieceSink& sink,
                                   CpuShare share) {
    PieceBuffers buffers;
    return make_pieces_in_order(shape, make, sink, share, buffers);
}

std::uint64_t make_pieces_in_order(const PieceShape& shape, const MakePiece& make, const PieceSink& sink,
                                   CpuShare share, PieceBuffers& buffers) {
    const int cpus = share.now();
    if (cpus < 2) return write_on_this_thread(shape, make, sink, buffers);
    const auto most = static_cast<int>(parallel_piece_bytes / (shape.held_per_thread * shape.most_bytes));
    const int threads = std::min(cpus, most);
    if (threads < 2) return write_on_this_thread(shape, make, sink, buffers);
    return write_in_parallel(shape, make, sink, threads, share, buffers);
}

std::uint64_t write_pieces_in_order(const PieceShape& shape, const MakePiece& make, AtomicFile& file, CpuShare share) {
    return make_pieces_in_order(shape, make, [&file](std::span<const std::byte> piece) { file.write(piece); }, share);
}

}  // namespace tessarel
