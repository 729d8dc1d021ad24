#include <zelm/Semaphore.h>

#include <chrono>

namespace Zelm {

Semaphore::Semaphore(int initialCount) : count_(initialCount < 0 ? 0 : initialCount) {}

Semaphore::~Semaphore() = default;

void Semaphore::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    count_ = 0;
}

void Semaphore::signal() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
    }
    available_.notify_one();
}

bool Semaphore::wait_for_milliseconds(int milliseconds) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds);
    std::unique_lock<std::mutex> lock(mutex_);
    if (!available_.wait_until(lock, deadline, [this] { return count_ > 0; })) {
        return false;
    }
    --count_;
    return true;
}

}  // namespace Zelm
