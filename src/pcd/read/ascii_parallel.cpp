#include "pcd/read/ascii_parallel.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "pcd/io/interruption.hpp"
#include "pcd/parallel/worker_pool.hpp"

namespace tessarel {
namespace {

// The text held at once by a parallel load, whatever its thread count: one piece per thread.
constexpr std::size_t parallel_text_bytes = std::size_t{64} << 20;

// The tokens that start in `text`, a piece that begins and ends between tokens: each a byte
// that is no separator after one that is. Plain comparisons summed a block at a time in bytes,
// which the compiler turns into wide vector steps.
std::size_t count_tokens(std::span<const char> text) noexcept {
    if (text.empty()) return 0;
    constexpr std::size_t block = 255;  // the most starts a byte counts
    std::size_t starts = is_separator(text[0]) ? 0 : 1;
    for (std::size_t i = 1; i < text.size(); i += block) {
        const std::size_t last = std::min(text.size(), i + block);
        unsigned char in_block = 0;
        for (std::size_t j = i; j < last; ++j) in_block += is_separator(text[j - 1]) > is_separator(text[j]);
        starts += in_block;
    }
    return starts;
}

// A piece's values start where the tokens of the pieces before it end: each thread counts its
// piece's tokens, then waits for the total of the pieces before (counted by threads that took
// them earlier), and parses straight into the cloud. Faults are ordered by piece, so that the
// one reported is the first in the text whichever thread met it first.
class ParallelParse {
public:
    ParallelParse(TextPieces& text, std::uint64_t expected, const ParsePiece& parse)
        : text_(text), expected_(expected), parse_(parse) {}

    // Parses pieces until the text or the cloud is done, a fault makes the rest moot, or the
    // worker is off duty. Never throws: what goes wrong is kept for finish().
    void work(const Worker& worker) noexcept {
        try {
            PieceStorage storage;
            while (worker.on_duty()) {
                check_for_interruption();
                const Claim claim = take(storage);
                if (claim.text.empty()) return;
                const std::uint64_t count = count_tokens(claim.text);
                const std::uint64_t first = values_before(claim.piece, count);
                if (first >= expected_) continue;  // tokens past the cloud's values are ignored
                const std::uint64_t values = std::min(count, expected_ - first);
                if (std::exception_ptr error = parse_(claim.text, first, values)) keep_fault(claim.piece, error, false);
            }
        } catch (...) {
            const std::lock_guard lock(faults_);
            escaped_ = std::current_exception();
            finished_ = true;
        }
    }

    // After every worker: throws the first fault in the text, or returns the values it held.
    std::uint64_t finish() const {
        if (escaped_) std::rethrow_exception(escaped_);
        // A piece that could not be read matters only while values were still missing before it.
        if (fault_.error && (!fault_.reading || values_before_ < expected_)) std::rethrow_exception(fault_.error);
        return std::min(values_before_, expected_);
    }

private:
    struct Claim {
        std::uint64_t piece = 0;
        std::span<const char> text;  // empty when there is nothing more to take
    };

    // The first fault in the text: a bad token, or a piece that could not be read.
    struct Fault {
        std::uint64_t piece = UINT64_MAX;
        std::exception_ptr error;
        bool reading = false;
    };

    Claim take(PieceStorage& storage) {
        const std::lock_guard lock(reading_);
        if (finished_) return {};
        const std::uint64_t index = next_piece_++;
        try {
            const std::span<const char> text = text_.next(storage);
            if (!text.empty()) return {index, text};
        } catch (...) {
            keep_fault(index, std::current_exception(), true);
        }
        finished_ = true;  // no piece follows this one, so none waits for its count
        return {};
    }

    std::uint64_t values_before(std::uint64_t piece, std::uint64_t count) {
        std::unique_lock lock(totals_);
        counted_.wait(lock, [&] { return pieces_counted_ == piece; });
        const std::uint64_t first = values_before_;
        values_before_ += count;
        ++pieces_counted_;
        if (values_before_ >= expected_) finished_ = true;
        lock.unlock();
        counted_.notify_all();
        return first;
    }

    void keep_fault(std::uint64_t piece, std::exception_ptr error, bool reading) {
        const std::lock_guard lock(faults_);
        finished_ = true;  // pieces after this one cannot change the outcome
        if (piece >= fault_.piece) return;
        fault_ = {piece, std::move(error), reading};
    }

    TextPieces& text_;
    const std::uint64_t expected_;
    const ParsePiece& parse_;
    std::atomic<bool> finished_{false};  // take no more pieces

    std::mutex reading_;  // guards text_ and next_piece_
    std::uint64_t next_piece_ = 0;

    std::mutex totals_;  // guards pieces_counted_ and values_before_
    std::condition_variable counted_;
    std::uint64_t pieces_counted_ = 0;
    std::uint64_t values_before_ = 0;  // the tokens of the pieces counted so far

    std::mutex faults_;  // guards fault_ and escaped_
    Fault fault_;
    std::exception_ptr escaped_;
};

}  // namespace

// Small texts and small clouds stay on one thread: two pieces at least, or there is nothing to
// share. Larger ones take the load's share of the CPUs. A share not shared out is a thread
// count given whatever the text.
int ascii_threads(CpuShare share, std::uint64_t text_bytes, std::size_t piece_bytes) {
    if (!share.shared) return share.cpus;
    if (text_bytes / 2 < piece_bytes) return 1;
    const auto most = static_cast<int>(std::max<std::size_t>(1, parallel_text_bytes / piece_bytes));
    return std::min(share.now(), most);
}

std::uint64_t parse_in_parallel(TextPieces& text, std::uint64_t expected, int threads, CpuShare share,
                                const ParsePiece& parse) {
    ParallelParse parallel(text, expected, parse);
    {
        const WorkerPool helpers(threads, share, [&parallel](const Worker& worker) { parallel.work(worker); });
        parallel.work(Worker(0, share));
    }
    return parallel.finish();
}

}  // namespace tessarel
