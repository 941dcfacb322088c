#pragma once
// The helper threads of one stage: started for it, handed its work, and joined when it ends.
// They are started per stage rather than kept: the library runs inside users' processes,
// where threads left idle between loads would cost memory and get in the way of fork(), and
// a stage large enough to want helpers lasts milliseconds, far beyond what starting one costs.

#include <exception>
#include <functional>
#include <stop_token>
#include <thread>
#include <vector>

#include "pcd/parallel/cpu_share.hpp"

namespace tessarel {

// One of a stage's threads, as its work sees it: the caller's is worker 0.
class Worker {
public:
    Worker(int number, CpuShare share, std::stop_token stop = {}) noexcept
        : number_(number), share_(share), stop_(std::move(stop)) {}

    // Whether to take another piece of work: not once the stage is stopping, nor once its
    // share of the CPUs no longer includes this worker because later stages took them.
    bool on_duty() const noexcept { return !stop_.stop_requested() && number_ < share_.now(); }

    const std::stop_token& stop_token() const noexcept { return stop_; }

    // The caller's thread, the one that may check for a stop.
    bool is_callers() const noexcept { return number_ == 0; }

private:
    int number_;
    CpuShare share_;
    std::stop_token stop_;
};

class WorkerPool {
public:
    using Work = std::function<void(const Worker&)>;

    // Starts workers 1 to threads - 1, each running `work`, which must not throw. Fewer when
    // the system has no more threads to give: those started and the caller's do the work then.
    WorkerPool(int threads, CpuShare share, Work work);
    // A stage left by an exception wants no more work done: its helpers are asked to stop.
    // Either way each is joined.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

private:
    const int exceptions_at_start_ = std::uncaught_exceptions();
    const Work work_;  // outlives the helpers, which are joined first
    std::vector<std::jthread> helpers_;
};

}  // namespace tessarel
