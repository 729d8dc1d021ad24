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

    // Valid until the thread ends itself (endFromWithin).
    const AvahiPoll* api() const { return avahi_simple_poll_get(poll_); }

    // Ends the thread and joins it; idempotent. Called without the lock.
    void stop();

    // Called on the event thread: the loop ends after the current event, and
    // the thread frees the poll, with every watch and timeout still on it,
    // before it ends. Only the join (stop()) is left after that.
    void endFromWithin();

    void lock() { pthread_mutex_lock(&mutex_); }
    void unlock() { pthread_mutex_unlock(&mutex_); }

private:
    explicit EventLoop(AvahiSimplePoll* poll);

    static void* run(void* self);
    static int pollUnlocked(struct pollfd* fds, unsigned int count, int timeoutMs, void* self);

    AvahiSimplePoll* poll_;  // null once the thread has freed it; guarded by the lock
    bool endingItself_ = false;
    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_t thread_{};
    bool running_ = false;
};

}  // namespace Zelm::DnsSd
