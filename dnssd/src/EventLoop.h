#pragma once

// The backend's event thread: an Avahi simple poll run on a thread of its
// own, started with a small stack of a known size. The loop's lock is held
// while the thread dispatches events and released while it waits in poll(),
// so other threads take it to touch the loop's objects.

#include <avahi-common/simple-watch.h>

#include <pthread.h>

#include <memory>

namespace Zelm::DnsSd {

class EventLoop {
public:
    // A running loop; null when the poll or the thread cannot be made.
    static std::unique_ptr<EventLoop> start();

    // Stops and joins the thread (if still running), then frees the poll.
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    const AvahiPoll* api() const { return avahi_simple_poll_get(poll_); }

    // Ends the thread and joins it; idempotent. Called without the lock.
    void stop();

    void lock() { pthread_mutex_lock(&mutex_); }
    void unlock() { pthread_mutex_unlock(&mutex_); }

private:
    explicit EventLoop(AvahiSimplePoll* poll);

    static void* run(void* self);
    static int pollUnlocked(struct pollfd* fds, unsigned int count, int timeoutMs, void* self);

    AvahiSimplePoll* const poll_;
    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_t thread_{};
    bool running_ = false;
};

}  // namespace Zelm::DnsSd
