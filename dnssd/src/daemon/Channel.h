#pragma once

// What an operation sees of its way to the daemon: requests out, replies and
// the signals of its objects in, and timers on the thread that delivers
// them. The bus connection is the real one; unit tests drive the operations
// through a fake. Every member is called, and every handler runs, on the
// event thread or with the event loop's lock held.

#include "daemon/Messages.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace Zelm::DnsSd {

class EventLoop;

// Receives the signals of one daemon object: only those its sender is
// believed for (the daemon's current owner), in the shape they came.
class SignalTarget {
public:
    virtual void onSignal(const Daemon::Incoming& signal) = 0;

protected:
    ~SignalTarget() = default;
};

// A call of `onDue` on the event thread, with the loop's lock held, once a
// scheduled delay has passed.
class Timer {
public:
    using Clock = std::chrono::steady_clock;
    explicit Timer(std::function<void()> onDue) : onDue_(std::move(onDue)) {}
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // Runs the action: the loop calls it once the timer is due.
    void fire() { onDue_(); }

private:
    friend class EventLoop;
    std::function<void()> onDue_;
    Clock::time_point due_{};
    bool armed_ = false;
};

// Where timers are armed: the event loop, or a test's fake.
class Scheduler {
public:
    // False when memory ran out: the timer is not armed.
    virtual bool schedule(Timer& timer, int delayMs) = 0;
    virtual void cancel(Timer& timer) = 0;

protected:
    ~Scheduler() = default;
};

class Channel {
public:
    using Handler = std::function<void(const Daemon::Reply& reply)>;
    using CallId = std::uint64_t;

    // Sends `request`; `handler` gets the answer from the peer it went to,
    // or an error once `timeoutMs` passed without one. 0 when it could not
    // be sent (memory, a closed connection, or no room for another call):
    // the handler then never runs.
    virtual CallId call(const Daemon::Request& request, Handler handler,
                        int timeoutMs = Daemon::kCallTimeoutMs) = 0;
    // The handler of `id` never runs.
    virtual void cancel(CallId id) = 0;
    // Room for a call that only brings an answer sooner (a one-call
    // resolution next to an object that finds the same): such a call may
    // stay with the daemon for seconds, and must not take the room that
    // the calls an operation cannot do without need.
    virtual bool roomToSpare() const = 0;
    // Sends a request whose answer nobody waits for.
    virtual bool send(const Daemon::Request& request) = 0;

    // The signals of the object at `path` go to `target` from now on.
    virtual bool route(const std::string& path, SignalTarget& target) = 0;
    virtual void unroute(const std::string& path) = 0;

    // The daemon's host name (empty until known) and domain.
    virtual const std::string& hostName() const = 0;
    virtual const std::string& domainName() const = 0;

    // False when memory ran out: the timer is not armed.
    virtual bool schedule(Timer& timer, int delayMs) = 0;
    virtual void cancel(Timer& timer) = 0;

protected:
    ~Channel() = default;
};

}  // namespace Zelm::DnsSd
