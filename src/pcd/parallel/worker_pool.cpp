#include "pcd/parallel/worker_pool.hpp"

#include <system_error>

namespace tessarel {

WorkerPool::WorkerPool(int threads, CpuShare share, Work work) : work_(std::move(work)) {
    if (threads < 2) return;
    helpers_.reserve(static_cast<std::size_t>(threads - 1));
    for (int number = 1; number < threads; ++number) {
        try {
            helpers_.emplace_back(
                [this, number, share](std::stop_token stop) { work_(Worker(number, share, std::move(stop))); });
        } catch (const std::system_error&) {
            return;  // no more threads to be had
        }
    }
}

WorkerPool::~WorkerPool() {
    if (std::uncaught_exceptions() > exceptions_at_start_) {
        for (std::jthread& helper : helpers_) helper.request_stop();
    }
    // Joined here, where a jthread would first ask to stop: a stage that succeeded lets its
    // helpers finish what they hold.
    for (std::jthread& helper : helpers_) helper.join();
}

}  // namespace tessarel
