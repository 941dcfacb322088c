#include "pcd/parallel/placed_pieces.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>

#include "pcd/io/interruption.hpp"
#include "pcd/parallel/worker_pool.hpp"

namespace tessarel {
namespace {

// Writes into one file take turns in the kernel, and a thread makes a piece of records in
// less time than the kernel takes to copy one: two threads keep the copies going back to back.
constexpr int most_threads = 2;

class PlacedPieces {
public:
    PlacedPieces(const PieceShape& shape, const MakePiece& make, AtomicFile& file)
        : shape_(shape), make_(make), file_(file) {}

    // One thread's share: the next piece not taken, made and written, until none is left, the
    // save fails, or the thread stands down. Worker 0, the caller's, also checks for a stop.
    void work(const Worker& worker) noexcept {
        try {
            const auto out = std::make_unique_for_overwrite<std::byte[]>(shape_.most_bytes);
            const auto scratch = std::make_unique_for_overwrite<std::byte[]>(shape_.scratch_bytes);
            while (!failing_.load(std::memory_order_relaxed) && worker.on_duty()) {
                if (worker.is_callers()) check_for_interruption();
                const std::size_t piece = next_.fetch_add(1, std::memory_order_relaxed);
                if (piece >= shape_.count) return;
                const std::size_t size =
                    make_(piece, {out.get(), shape_.most_bytes}, {scratch.get(), shape_.scratch_bytes});
                file_.write_placed(std::uint64_t{piece} * shape_.most_bytes, {out.get(), size});
                written_.fetch_add(size, std::memory_order_relaxed);
            }
        } catch (...) {
            const std::lock_guard lock(mutex_);
            if (!failure_) failure_ = std::current_exception();
            failing_ = true;
        }
    }

    // The bytes written; throws the first failure of any thread.
    std::uint64_t result() const {
        if (failure_) std::rethrow_exception(failure_);
        return written_.load();
    }

private:
    const PieceShape& shape_;
    const MakePiece& make_;
    AtomicFile& file_;
    std::atomic<std::size_t> next_{0};
    std::atomic<std::uint64_t> written_{0};
    std::atomic<bool> failing_{false};
    std::mutex mutex_;  // guards failure_
    std::exception_ptr failure_;
};

}  // namespace

std::uint64_t write_pieces_in_place(const PieceShape& shape, const MakePiece& make, AtomicFile& file, CpuShare share) {
    PlacedPieces pieces(shape, make, file);
    {
        const WorkerPool helpers(std::min(share.now(), most_threads), share,
                                 [&pieces](const Worker& worker) { pieces.work(worker); });
        pieces.work(Worker(0, share));
    }
    const std::uint64_t written = pieces.result();
    file.placed(written);
    return written;
}

}  // namespace tessarel
