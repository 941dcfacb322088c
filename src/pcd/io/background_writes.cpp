#include "pcd/io/background_writes.hpp"

#include <utility>

namespace tessarel {
namespace {

// Buffers pending at most: one being written, one waiting, while the caller fills a third; a
// fourth holds what the last write held back.
constexpr std::size_t most_pending = 2;

}  // namespace

BackgroundWrites::BackgroundWrites(AtomicFile& file) : file_(file), thread_([this] { run(); }) {}

BackgroundWrites::~BackgroundWrites() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void BackgroundWrites::rethrow_failure() {
    if (failure_) std::rethrow_exception(failure_);
}

std::vector<std::byte> BackgroundWrites::buffer(std::size_t bytes) {
    std::vector<std::byte> buffer;
    {
        const std::lock_guard lock(mutex_);
        rethrow_failure();
        if (!free_.empty()) {
            buffer = std::move(free_.back());
            free_.pop_back();
        }
    }
    buffer.resize(bytes);
    return buffer;
}

void BackgroundWrites::write(std::vector<std::byte> bytes) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return failure_ || pending_.size() + writing_ < most_pending; });
    rethrow_failure();
    pending_.push_back(std::move(bytes));
    lock.unlock();
    changed_.notify_all();
}

void BackgroundWrites::finish() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return failure_ || (pending_.empty() && !writing_); });
    rethrow_failure();
    // The thread waits for more: the tail is this thread's now.
    file_.write(tail_);
    tail_ = {};
    free_.push_back(std::move(tail_owner_));
}

// The tail before `bytes` and `bytes` up to the file's last folio boundary they reach, in one write;
// the rest of `bytes` is the new tail. Where they reach no boundary, all of them.
void BackgroundWrites::write_to_boundary(std::vector<std::byte> bytes) {
    const std::uint64_t start = file_.written() + tail_.size();
    const std::uint64_t boundary = (start + bytes.size()) / folio_boundary * folio_boundary;
    const std::size_t now = boundary > start ? static_cast<std::size_t>(boundary - start) : bytes.size();
    file_.write(tail_, std::span(bytes).first(now));
    std::vector<std::byte> written = std::exchange(tail_owner_, std::move(bytes));
    tail_ = std::span(tail_owner_).subspan(now);
    const std::lock_guard lock(mutex_);
    free_.push_back(std::move(written));
}

void BackgroundWrites::run() {
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [this] { return stopping_ || (!pending_.empty() && !failure_); });
        if (stopping_) return;
        std::vector<std::byte> bytes = std::move(pending_.front());
        pending_.erase(pending_.begin());
        writing_ = true;
        lock.unlock();
        std::exception_ptr failed;
        try {
            write_to_boundary(std::move(bytes));
        } catch (...) {
            failed = std::current_exception();
        }
        lock.lock();
        writing_ = false;
        failure_ = failed;
        changed_.notify_all();
    }
}

}  // namespace tessarel
