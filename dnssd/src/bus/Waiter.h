#pragma once

#include "bus/BusConnection.h"

#include <dns_sd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace Zelm::DnsSd {

// How long a caller's thread waits for the daemon or the bus: as long as
// answers keep coming in on the connection it waits on, and no longer than
// kSilence after the last one (or after the wait began). A daemon that
// works answers within a millisecond, so a connection that stays silent
// that long, with nothing unread on it and the event thread idle, has a
// daemon or a bus that stopped; under load the answers keep coming, or wait
// to be read, and the wait goes on. Its calls time out on their own later.
class Patience {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kSilence{400};
    static constexpr std::chrono::milliseconds kRecheck{20};

    Patience() : begun_(Clock::now()) {}

    // When to give up on `connection` (null: one not open yet). Loop lock held.
    Clock::time_point until(const BusConnection* connection) const {
        const Clock::time_point heard =
            connection != nullptr ? std::max(begun_, connection->lastHeard()) : begun_;
        return heard + kSilence;
    }

    // Waits on `condition` until `done` holds or the connection has been
    // silent too long; false then.
    template <typename Done>
    bool wait(std::condition_variable_any& condition, LoopLock& loopLock, const BusConnection* connection,
              Done done) const {
        while (!done()) {
            Clock::time_point due = until(connection);
            if (Clock::now() >= due) {
                if (connection == nullptr || connection->quiet()) {
                    return false;
                }
                due = Clock::now() + kRecheck;
            }
            condition.wait_until(loopLock, due);
        }
        return true;
    }

private:
    Clock::time_point begun_;
};

// An answer of the daemon that a caller's thread waits for while the event
// thread receives it. Both sides hold the event loop's mutex; the waiting
// side releases it while it waits, so that nothing is held across the round
// trip.
class Waiter {
public:
    // With the loop's mutex held; the first answer counts.
    void settle(DNSServiceErrorType code) {
        if (!settled_) {
            settled_ = true;
            code_ = code;
            settledCondition_.notify_one();
        }
    }

    // The answer, or kDNSServiceErr_ServiceNotRunning when `connection` went
    // silent first; the answer that comes after that is ignored.
    DNSServiceErrorType wait(LoopLock& loopLock, const Patience& patience, const BusConnection* connection) {
        if (!patience.wait(settledCondition_, loopLock, connection, [this] { return settled_; })) {
            settle(kDNSServiceErr_ServiceNotRunning);
        }
        return code_;
    }

private:
    std::condition_variable_any settledCondition_;
    bool settled_ = false;
    DNSServiceErrorType code_ = kDNSServiceErr_NoError;
};

}  // namespace Zelm::DnsSd
