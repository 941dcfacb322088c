#pragma once
// An object that holds threads, locks and an unfinished file belongs to the process that made
// it. A child made by fork() has a copy of its memory but none of its threads: there, finishing
// it would wait for threads that do not exist, and write the parent's file as its own.

#include <sys/types.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

namespace tessarel {

class ProcessOwner {
public:
    ProcessOwner() noexcept : pid_(::getpid()) {}

    bool here() const noexcept { return ::getpid() == pid_; }

    // Throws RuntimeError in another process, naming the object (`what`) and the owner.
    void check(const char* what) const {
        if (here()) return;
        throw std::runtime_error(std::string(what) + " belongs to process " + std::to_string(pid_) +
                                 ", which made it; this is process " + std::to_string(::getpid()) +
                                 ", a child made by fork(): make a new one here");
    }

private:
    pid_t pid_;
};

}  // namespace tessarel
