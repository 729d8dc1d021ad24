#pragma once

#include <zelm/Export.h>

#include <condition_variable>
#include <mutex>

namespace Zelm {

// Counting semaphore with a timed wait. Waiters sleep on a condition variable
// against the steady clock, so wall-clock changes and spurious wake-ups neither
// shorten nor lengthen a wait.
class ZELM_API Semaphore {
public:
    explicit Semaphore(int initialCount = 0);
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;
    ~Semaphore();

    // Drops every signal not yet consumed.
    void reset();
    void signal();
    // Waits until a signal is available (consuming it) or the time has passed.
    // Returns true when a signal ended the wait. A negative time counts as 0.
    bool wait_for_milliseconds(int milliseconds);

private:
    std::mutex mutex_;
    std::condition_variable available_;
    int count_;
};

}  // namespace Zelm
