#include "bus/EventLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

namespace Zelm::DnsSd {

namespace {

// The event thread's stack. It runs libdbus's dispatch and the operations'
// handlers, which build strings and queue replies; nothing recurses.
// Measured over all sandbox suites by filling the stack with a pattern when
// the thread starts and finding the deepest overwritten byte when it ends:
// at most 5.4 KiB in a debug build, 12.7 KiB under ThreadSanitizer. 64 KiB
// leaves a wide margin and spares 32-bit hosts the default 8 MiB of address
// space per thread.
constexpr size_t kStackBytes = 64 * 1024;

// How soon a dispatch that ran out of memory is tried again.
constexpr int kMemoryRetryMs = 20;

template <typename T>
void eraseValue(std::vector<T>& items, const T& value) {
    items.erase(std::remove(items.begin(), items.end(), value), items.end());
}

int millisUntil(EventLoop::Clock::time_point due, EventLoop::Clock::time_point now) {
    if (due <= now) {
        return 0;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count() + 1;
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

}  // namespace

std::unique_ptr<EventLoop> EventLoop::start() {
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        return nullptr;
    }
    std::unique_ptr<EventLoop> loop(new (std::nothrow) EventLoop(wakeFd));
    if (!loop) {
        ::close(wakeFd);
        return nullptr;
    }
    EventLoop* self = loop.get();
    if (loop->thread_.start([self] { self->run(); }, kStackBytes) != 0) {
        return nullptr;
    }
    return loop;
}

EventLoop::~EventLoop() {
    stop();
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

void EventLoop::stop() {
    {
        std::lock_guard<RankedMutex> lock(mutex_);
        quit_ = true;
        wake();
    }
    thread_.join();
}

bool EventLoop::watch(DBusConnection* connection, Receiver& receiver) {
    try {
        connections_.reserve(connections_.size() + 1);
    } catch (...) {
        return false;
    }
    if (!dbus_connection_set_watch_functions(connection, &addWatch, &removeWatch, &toggledWatch, this,
                                             nullptr) ||
        !dbus_connection_set_timeout_functions(connection, &addTimeout, &removeTimeout, &toggledTimeout, this,
                                               nullptr)) {
        unwatch(connection);
        return false;
    }
    dbus_connection_set_wakeup_main_function(connection, &wakeUp, this, nullptr);
    dbus_connection_set_dispatch_status_function(connection, &dispatchStatusChanged, this, nullptr);
    connections_.emplace_back(connection, &receiver);
    wake();
    return true;
}

void EventLoop::unwatch(DBusConnection* connection) {
    dbus_connection_set_dispatch_status_function(connection, nullptr, nullptr, nullptr);
    dbus_connection_set_wakeup_main_function(connection, nullptr, nullptr, nullptr);
    dbus_connection_set_watch_functions(connection, nullptr, nullptr, nullptr, nullptr, nullptr);
    dbus_connection_set_timeout_functions(connection, nullptr, nullptr, nullptr, nullptr, nullptr);
    connections_.erase(
        std::remove_if(connections_.begin(), connections_.end(),
                       [connection](const auto& served) { return served.first == connection; }),
        connections_.end());
}

bool EventLoop::schedule(Timer& timer, int delayMs) {
    timer.due_ = Clock::now() + std::chrono::milliseconds(delayMs);
    if (!timer.armed_) {
        try {
            timers_.push_back(&timer);
        } catch (...) {
            return false;
        }
        timer.armed_ = true;
    }
    wake();
    return true;
}

bool EventLoop::runUnlocked(std::function<void()> task) {
    try {
        unlockedTasks_.push_back(std::move(task));
    } catch (...) {
        return false;
    }
    wake();
    return true;
}

void EventLoop::cancel(Timer& timer) {
    if (timer.armed_) {
        eraseValue(timers_, &timer);
        timer.armed_ = false;
    }
}

bool EventLoop::watchFd(int fd, short events, FdHandler& handler) {
    for (FdWatch& watch : fdWatches_) {
        if (watch.fd == fd) {
            watch.events = events;
            watch.handler = &handler;
            wake();
            return true;
        }
    }
    try {
        fdWatches_.push_back(FdWatch{fd, events, &handler});
    } catch (...) {
        return false;
    }
    wake();
    return true;
}

void EventLoop::unwatchFd(int fd) {
    fdWatches_.erase(std::remove_if(fdWatches_.begin(), fdWatches_.end(),
                                    [fd](const FdWatch& watch) { return watch.fd == fd; }),
                     fdWatches_.end());
}

void EventLoop::run() {
    LoopLock lock(mutex_);
    std::vector<pollfd> fds;
    std::vector<DBusWatch*> polled;
    while (!quit_) {
        try {
            dispatchAll();
            runDueTimers();
            if (quit_) {
                break;
            }
            fds.clear();
            polled.clear();
            fds.push_back(pollfd{wakeFd_, POLLIN, 0});
            for (DBusWatch* watch : watches_) {
                if (!dbus_watch_get_enabled(watch)) {
                    continue;
                }
                const unsigned flags = dbus_watch_get_flags(watch);
                short events = 0;
                events |= (flags & DBUS_WATCH_READABLE) != 0 ? POLLIN : 0;
                events |= (flags & DBUS_WATCH_WRITABLE) != 0 ? POLLOUT : 0;
                fds.push_back(pollfd{dbus_watch_get_unix_fd(watch), events, 0});
                polled.push_back(watch);
            }
            for (const FdWatch& watch : fdWatches_) {
                fds.push_back(pollfd{watch.fd, watch.events, 0});
            }
        } catch (...) {
            // Out of memory: the thread must stay, since callers wait for
            // the answers it brings; it tries again shortly.
            memoryShort_ = true;
            fds.resize(std::min<size_t>(fds.size(), 1));
            polled.clear();
        }
        const int timeoutMs = unlockedTasks_.empty() ? pollTimeoutMs() : 0;
        std::vector<std::function<void()>> tasks = std::exchange(unlockedTasks_, {});
        polling_ = tasks.empty();
        lock.unlock();
        for (auto& task : tasks) {
            task();
        }
        const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
        lock.lock();
        polling_ = woken_ = false;
        if (ready > 0) {
            handleReady(fds, polled);
            handleReadyFds(fds, polled.size() + 1);
        }
    }
    if (endingItself_) {
        // An idle process keeps no descriptor of the backend.
        ::close(std::exchange(wakeFd_, -1));
    }
}

void EventLoop::handleReady(const std::vector<pollfd>& fds, const std::vector<DBusWatch*>& polled) {
    if (fds[0].revents != 0) {
        uint64_t count;
        (void)::read(wakeFd_, &count, sizeof count);
    }
    for (size_t i = 0; i < polled.size(); ++i) {
        const short revents = fds[i + 1].revents;
        // A watch handled before this one may have removed it.
        if (revents == 0 || std::find(watches_.begin(), watches_.end(), polled[i]) == watches_.end()) {
            continue;
        }
        unsigned flags = 0;
        flags |= (revents & POLLIN) != 0 ? DBUS_WATCH_READABLE : 0;
        flags |= (revents & POLLOUT) != 0 ? DBUS_WATCH_WRITABLE : 0;
        flags |= (revents & POLLHUP) != 0 ? DBUS_WATCH_HANGUP : 0;
        flags |= (revents & (POLLERR | POLLNVAL)) != 0 ? DBUS_WATCH_ERROR : 0;
        // False means out of memory: what was read stays with libdbus, and
        // the next dispatch, soon, tries again.
        if (!dbus_watch_handle(polled[i], flags)) {
            memoryShort_ = true;
        }
    }
}

void EventLoop::handleReadyFds(const std::vector<pollfd>& fds, size_t first) {
    for (size_t i = first; i < fds.size(); ++i) {
        if (fds[i].revents == 0) {
            continue;
        }
        // A handler called before may have stopped watching this one.
        const auto watch = std::find_if(fdWatches_.begin(), fdWatches_.end(),
                                        [&](const FdWatch& entry) { return entry.fd == fds[i].fd; });
        if (watch != fdWatches_.end()) {
            watch->handler->ready(fds[i].fd, fds[i].revents);
        }
    }
}

void EventLoop::dispatchAll() {
    memoryShort_ = false;
    // A receiver may close connections (a lost bus): go by a copy.
    const auto serving = connections_;
    for (const auto& served : serving) {
        DBusConnection* connection = served.first;
        while (std::find(connections_.begin(), connections_.end(), served) != connections_.end()) {
            const DBusDispatchStatus status = dbus_connection_get_dispatch_status(connection);
            if (status == DBUS_DISPATCH_NEED_MEMORY) {
                memoryShort_ = true;
                break;
            }
            DBusMessage* message =
                status == DBUS_DISPATCH_DATA_REMAINS ? dbus_connection_pop_message(connection) : nullptr;
            if (message == nullptr) {
                break;
            }
            served.second->receive(message);
            dbus_message_unref(message);
        }
    }
}

void EventLoop::runDueTimers() {
    const Clock::time_point now = Clock::now();
    for (DueTimeout& entry : timeouts_) {
        if (entry.due <= now && dbus_timeout_get_enabled(entry.timeout)) {
            entry.due = now + std::chrono::milliseconds(dbus_timeout_get_interval(entry.timeout));
            // May remove time-outs: the loop starts over on the next round.
            if (!dbus_timeout_handle(entry.timeout)) {
                memoryShort_ = true;
                // Handled again once memory is back.
                for (DueTimeout& again : timeouts_) {
                    again.due = std::min(again.due, now + std::chrono::milliseconds(kMemoryRetryMs));
                }
            }
            break;
        }
    }
    while (true) {
        auto due =
            std::find_if(timers_.begin(), timers_.end(), [now](Timer* timer) { return timer->due_ <= now; });
        if (due == timers_.end()) {
            return;
        }
        Timer* timer = *due;
        timers_.erase(due);
        timer->armed_ = false;
        timer->fire();
    }
}

int EventLoop::pollTimeoutMs() const {
    const Clock::time_point now = Clock::now();
    int timeoutMs = memoryShort_ ? kMemoryRetryMs : -1;
    auto consider = [&](Clock::time_point due) {
        const int ms = millisUntil(due, now);
        timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms);
    };
    for (const DueTimeout& entry : timeouts_) {
        if (dbus_timeout_get_enabled(entry.timeout)) {
            consider(entry.due);
        }
    }
    for (const Timer* timer : timers_) {
        consider(timer->due_);
    }
    return timeoutMs;
}

void EventLoop::wake() {
    // The thread reads its work again, with the lock held, before it polls:
    // only a thread inside poll() needs the descriptor, and once per poll.
    if (wakeFd_ < 0 || !polling_ || woken_) {
        return;
    }
    woken_ = true;
    const uint64_t one = 1;
    (void)::write(wakeFd_, &one, sizeof one);
}

dbus_bool_t EventLoop::addWatch(DBusWatch* watch, void* self) {
    auto* loop = static_cast<EventLoop*>(self);
    try {
        loop->watches_.push_back(watch);
    } catch (...) {
        return FALSE;
    }
    loop->wake();
    return TRUE;
}

void EventLoop::removeWatch(DBusWatch* watch, void* self) {
    eraseValue(static_cast<EventLoop*>(self)->watches_, watch);
}

void EventLoop::toggledWatch(DBusWatch*, void* self) { static_cast<EventLoop*>(self)->wake(); }

dbus_bool_t EventLoop::addTimeout(DBusTimeout* timeout, void* self) {
    auto* loop = static_cast<EventLoop*>(self);
    try {
        loop->timeouts_.push_back(DueTimeout{
            timeout, Clock::now() + std::chrono::milliseconds(dbus_timeout_get_interval(timeout))});
    } catch (...) {
        return FALSE;
    }
    loop->wake();
    return TRUE;
}

void EventLoop::removeTimeout(DBusTimeout* timeout, void* self) {
    auto& timeouts = static_cast<EventLoop*>(self)->timeouts_;
    timeouts.erase(std::remove_if(timeouts.begin(), timeouts.end(),
                                  [timeout](const DueTimeout& entry) { return entry.timeout == timeout; }),
                   timeouts.end());
}

void EventLoop::toggledTimeout(DBusTimeout* timeout, void* self) {
    auto* loop = static_cast<EventLoop*>(self);
    for (DueTimeout& entry : loop->timeouts_) {
        if (entry.timeout == timeout) {
            entry.due = Clock::now() + std::chrono::milliseconds(dbus_timeout_get_interval(timeout));
        }
    }
    loop->wake();
}

void EventLoop::wakeUp(void* self) { static_cast<EventLoop*>(self)->wake(); }

void EventLoop::dispatchStatusChanged(DBusConnection*, DBusDispatchStatus status, void* self) {
    if (status != DBUS_DISPATCH_COMPLETE) {
        static_cast<EventLoop*>(self)->wake();
    }
}

}  // namespace Zelm::DnsSd
