#include "pcd/io/background_writes.hpp"

#include <utility>

namespace tessarel {
namespace {

// Buffers pending at most: one being written, one waiting, while the caller fills a third.
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
            file_.write(bytes);
        } catch (...) {
            failed = std::current_exception();
        }
        lock.lock();
        writing_ = false;
        failure_ = failed;
        free_.push_back(std::move(bytes));
        changed_.notify_all();
    }
}

}  // namespace tessarel
