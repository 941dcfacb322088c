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

// The section's pieces: the first up to the file's first folio boundary after the start, the
// others a boundary apart.
struct PieceBounds {
    std::uint64_t bytes;  // the section's
    std::uint64_t first;  // the first piece's

    PieceBounds(const SectionShape& shape, const AtomicFile& file)
        : bytes(shape.bytes), first(std::min(shape.bytes, folio_boundary - file.written() % folio_boundary)) {}

    std::size_t count() const noexcept {
        if (bytes == 0) return 0;
        return 1 + static_cast<std::size_t>((bytes - first + folio_boundary - 1) / folio_boundary);
    }
    std::uint64_t start(std::size_t piece) const noexcept {
        return piece == 0 ? 0 : first + (piece - 1) * folio_boundary;
    }
    std::size_t size(std::size_t piece) const noexcept {
        return static_cast<std::size_t>(std::min(bytes, start(piece + 1)) - start(piece));
    }
};

class PlacedPieces {
public:
    PlacedPieces(const SectionShape& shape, const MakeSectionBytes& make, AtomicFile& file)
        : shape_(shape), bounds_(shape, file), make_(make), file_(file) {}

    // One thread's share: the next piece not taken, made and written, until none is left, the
    // save fails, or the thread stands down. Worker 0, the caller's, also checks for a stop.
    void work(const Worker& worker) noexcept {
        try {
            const auto out = std::make_unique_for_overwrite<std::byte[]>(shape_.out_bytes);
            while (!failing_.load(std::memory_order_relaxed) && worker.on_duty()) {
                if (worker.is_callers()) check_for_interruption();
                const std::size_t piece = next_.fetch_add(1, std::memory_order_relaxed);
                if (piece >= bounds_.count()) return;
                const std::uint64_t first = bounds_.start(piece);
                file_.write_placed(first, make_(first, bounds_.size(piece), {out.get(), shape_.out_bytes}));
            }
        } catch (...) {
            const std::lock_guard lock(mutex_);
            if (!failure_) failure_ = std::current_exception();
            failing_ = true;
        }
    }

    // Throws the first failure of any thread.
    void check() const {
        if (failure_) std::rethrow_exception(failure_);
    }

private:
    const SectionShape& shape_;
    const PieceBounds bounds_;
    const MakeSectionBytes& make_;
    AtomicFile& file_;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> failing_{false};
    std::mutex mutex_;  // guards failure_
    std::exception_ptr failure_;
};

}  // namespace

void write_pieces_in_place(const SectionShape& shape, const MakeSectionBytes& make, AtomicFile& file, CpuShare share) {
    PlacedPieces pieces(shape, make, file);
    {
        const WorkerPool helpers(std::min(share.now(), most_threads), share,
                                 [&pieces](const Worker& worker) { pieces.work(worker); });
        pieces.work(Worker(0, share));
    }
    pieces.check();
    file.placed(shape.bytes);
}

}  // namespace tessarel
