#include "Errand.h"

#include <atomic>
#include <chrono>

namespace Zelm::Tool {

namespace {
std::atomic<bool> leftRunning{false};
}

Errand::Errand() = default;

Errand::~Errand() {
    if (thread_.joinable()) thread_.join();
}

void Errand::start(std::function<void()> work) {
    thread_ = std::thread([state = state_, work = std::move(work)]() mutable {
        std::exception_ptr failure;
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        work = nullptr;  // what it holds goes while the caller may still wait
        std::lock_guard<std::mutex> lock(state->mutex);
        state->failure = failure;
        state->done = true;
        state->changed.notify_all();
    });
}

bool Errand::wait(const std::function<bool()>& giveUp) {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(state_->mutex);
            state_->changed.wait_for(lock, std::chrono::milliseconds(20),
                                     [this] { return state_->done || state_->woken; });
            state_->woken = false;
            if (state_->done) {
                lock.unlock();
                thread_.join();
                if (state_->failure) std::rethrow_exception(state_->failure);
                return true;
            }
        }
        if (giveUp()) {
            leftRunning = true;
            thread_.detach();
            return false;
        }
    }
}

bool Errand::done() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->done;
}

std::function<void()> Errand::waker() const {
    return [state = state_] {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->woken = true;
        state->changed.notify_all();
    };
}

bool errandsLeftRunning() { return leftRunning; }

}  // namespace Zelm::Tool
