#pragma once

#include <dns_sd.h>

#include <condition_variable>
#include <mutex>

namespace Zelm::DnsSd {

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

    DNSServiceErrorType wait(std::unique_lock<std::mutex>& loopLock) {
        settledCondition_.wait(loopLock, [this] { return settled_; });
        return code_;
    }

private:
    std::condition_variable settledCondition_;
    bool settled_ = false;
    DNSServiceErrorType code_ = kDNSServiceErr_NoError;
};

}  // namespace Zelm::DnsSd
