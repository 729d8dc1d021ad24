#pragma once

// The backend's event thread: a poll() loop that serves the D-Bus connections
// to the daemon (their watches, time-outs and incoming messages), other
// descriptors (the unicast DNS client's sockets) and the backend's own timers. Messages are taken off a
// connection one by one and handed to its receiver; libdbus's own dispatch, whose out-of-memory path corrupts
// the connection, is never run. The loop's mutex is held while the thread dispatches and released while it
// waits in poll(); every other thread takes it to touch a connection or anything the event thread touches,
// and a thread waiting for the daemon's answer waits on a condition of this mutex, so that it holds nothing
// meanwhile.

#include "RankedMutex.h"
#include "SmallStackThread.h"
#include "daemon/Channel.h"

#include <dbus/dbus.h>
#include <poll.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace Zelm::DnsSd {

// A lock of the event loop's mutex, which a waiting thread releases.
using LoopLock = std::unique_lock<RankedMutex>;

class EventLoop final : public Scheduler {
public:
    using Clock = std::chrono::steady_clock;

    // A running loop; null when its thread or its wake-up descriptor cannot be made.
    static std::unique_ptr<EventLoop> start();

    // Stops and joins the thread.
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    RankedMutex& mutex() { return mutex_; }

    // Ends the thread and joins it; idempotent. Called without the lock.
    void stop();

    // The members below are called with the lock held.

    // Receives one message read from a connection; it stays the caller's.
    class Receiver {
    public:
        virtual void receive(DBusMessage* message) = 0;

    protected:
        ~Receiver() = default;
    };

    // Serves `connection` from now on, handing every message read from it
    // to `receiver`; false when memory ran out.
    bool watch(DBusConnection* connection, Receiver& receiver);
    // Stops serving it; its watches and time-outs are gone afterwards.
    void unwatch(DBusConnection* connection);

    // Told when a watched descriptor is ready, with poll()'s revents.
    class FdHandler {
    public:
        virtual void ready(int fd, short revents) = 0;

    protected:
        ~FdHandler() = default;
    };

    // Polls `fd` for `events` (POLLIN, POLLOUT) from now on, replacing what
    // it was watched for; false when memory ran out.
    bool watchFd(int fd, short events, FdHandler& handler);
    // Stops polling it; its handler is not called for it afterwards.
    void unwatchFd(int fd);

    // False when memory ran out: the timer is not armed.
    bool schedule(Timer& timer, int delayMs) override;
    void cancel(Timer& timer) override;
    bool isScheduled(const Timer& timer) const { return timer.armed_; }
    Clock::time_point dueTime(const Timer& timer) const { return timer.due_; }

    // The event thread waits in poll() with nothing left to dispatch.
    bool idle() const { return polling_; }

    // Runs `task` once on the event thread with the loop's lock released, so
    // that it may take a lock ranked above it; false when memory ran out.
    bool runUnlocked(std::function<void()> task);

    // On the event thread: the loop ends after the current event and the
    // thread closes its wake-up descriptor. Only the join (stop()) is left
    // after that.
    void endFromWithin() { quit_ = endingItself_ = true; }

private:
    struct FdWatch {
        int fd;
        short events;
        FdHandler* handler;
    };

    struct DueTimeout {
        DBusTimeout* timeout;
        Clock::time_point due;
    };

    explicit EventLoop(int wakeFd) : wakeFd_(wakeFd) {}

    void run();
    void dispatchAll();
    void runDueTimers();
    int pollTimeoutMs() const;
    void handleReady(const std::vector<pollfd>& fds, const std::vector<DBusWatch*>& polled);
    void handleReadyFds(const std::vector<pollfd>& fds, size_t first);
    void wake();

    static dbus_bool_t addWatch(DBusWatch* watch, void* self);
    static void removeWatch(DBusWatch* watch, void* self);
    static void toggledWatch(DBusWatch* watch, void* self);
    static dbus_bool_t addTimeout(DBusTimeout* timeout, void* self);
    static void removeTimeout(DBusTimeout* timeout, void* self);
    static void toggledTimeout(DBusTimeout* timeout, void* self);
    static void wakeUp(void* self);
    static void dispatchStatusChanged(DBusConnection* connection, DBusDispatchStatus status, void* self);

    RankedMutex mutex_{LockRank::kEventLoop};
    int wakeFd_;                 // guarded by mutex_; -1 once the thread ended itself
    bool quit_ = false;          // guarded by mutex_
    bool endingItself_ = false;  // guarded by mutex_
    bool polling_ = false;       // guarded by mutex_
    bool woken_ = false;         // guarded by mutex_: the descriptor was written during this poll
    bool memoryShort_ = false;   // a dispatch ran out of memory: try again soon
    std::vector<std::pair<DBusConnection*, Receiver*>> connections_;
    std::vector<DBusWatch*> watches_;
    std::vector<FdWatch> fdWatches_;
    std::vector<DueTimeout> timeouts_;
    std::vector<Timer*> timers_;
    std::vector<std::function<void()>> unlockedTasks_;
    SmallStackThread thread_;
};

}  // namespace Zelm::DnsSd
