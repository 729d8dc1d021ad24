#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>

namespace Zelm {

// The one way the library starts a thread: joinable, with an explicit stack
// size (std::thread cannot set one, and glibc's default of the 8 MiB stack
// limit exhausts a 32-bit address space after a few hundred threads), and
// with every signal blocked, so that the host's signal handlers run on the
// host's threads only. Unlike std::thread, a failed start is reported as an
// error number rather than thrown, and destroying a running thread joins it
// rather than terminating the process.
class SmallStackThread {
public:
    SmallStackThread() = default;
    ~SmallStackThread();
    SmallStackThread(const SmallStackThread&) = delete;
    SmallStackThread& operator=(const SmallStackThread&) = delete;

    // Runs `body` on a new thread with a stack of `stackBytes`, raised to the
    // system's minimum where needed. Returns 0, or the error number of the
    // failed start (EAGAIN, ENOMEM, ...); `body` then never runs. An exception
    // leaving `body` ends the thread quietly.
    int start(std::function<void()> body, std::size_t stackBytes) noexcept;
    bool joinable() const { return started_; }
    // Waits for the thread to end; does nothing when none was started.
    void join() noexcept;

private:
    pthread_t thread_{};
    bool started_ = false;
};

}  // namespace Zelm
