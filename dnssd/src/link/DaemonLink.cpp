#include "link/DaemonLink.h"

#include "api/Reference.h"
#include "bus/Waiter.h"
#include "names/ErrorCodes.h"
#include "operations/RegisterOperation.h"
#include "operations/UnicastOperation.h"
#include "operations/UnicastRegisterOperation.h"

#include <chrono>
#include <condition_variable>
#include <optional>

namespace Zelm::DnsSd {

namespace {

// Connections tried for one request before it gives up.
constexpr int kAttachAttempts = 4;

// Longer than any unicast operation's own bound on its start.
constexpr std::chrono::seconds kUnicastStartBackstop{30};

}  // namespace

DNSServiceErrorType DaemonLink::attachUnicast(Reference& reference) {
    LoopLock lock(loop_->mutex());
    if (!dns_) {
        dns_ = Unicast::AresClient::create(*loop_);
        if (!dns_) {
            return kDNSServiceErr_NoMemory;
        }
    }
    UnicastOperation* operation = reference.operation().asUnicast();
    // The operation may give its answer after this wait ended; it then reaches nobody.
    struct Answer {
        std::condition_variable_any given;
        std::optional<DNSServiceErrorType> code;
    };
    auto answer = std::make_shared<Answer>();
    try {
        operation->open(UnicastContext{dns_.get(), loop_.get(), &reference},
                        Settle([answer](DNSServiceErrorType code) {
                            answer->code = code;
                            answer->given.notify_one();
                        }));
    } catch (...) {
        operation->stop();  // nothing it sent may answer into a freed operation
        return kDNSServiceErr_NoMemory;
    }
    // Bounded by the operation's own time-out; this is the backstop.
    if (!answer->given.wait_for(lock, kUnicastStartBackstop, [&] { return answer->code.has_value(); })) {
        answer->code = kDNSServiceErr_Timeout;
    }
    if (*answer->code != kDNSServiceErr_NoError) {
        operation->stop();
    }
    return *answer->code;
}

DNSServiceErrorType DaemonLink::attach(Reference& reference) {
    Operation& operation = reference.operation();
    if (operation.asUnicast() != nullptr) {
        return attachUnicast(reference);
    }
    const int objects = operation.daemonObjects();
    const Patience patience;
    LoopLock lock(loop_->mutex());
    DNSServiceErrorType error = kDNSServiceErr_ServiceNotRunning;
    for (int attempt = 0; attempt < kAttachAttempts; ++attempt) {
        BusConnection* connection = pool_->connectionWithRoom(objects, lock, patience, error);
        if (connection == nullptr) {
            break;
        }
        if (!pool_->waitForCallRoom(connection, operation.callsAtStart(), lock, patience)) {
            error = kDNSServiceErr_ServiceNotRunning;
            if (pool_->holds(connection) && !connection->failed) {
                break;  // silent: the daemon or the bus stopped
            }
            continue;
        }
        Waiter started;
        // The operation may keep its answer past this wait (it gave up);
        // the answer then reaches nobody.
        auto answerTo = std::make_shared<Waiter*>(&started);
        Settle settle([answerTo](DNSServiceErrorType code) {
            if (*answerTo != nullptr) {
                (*answerTo)->settle(code);
            }
        });
        // A member from the start, so that a daemon leaving meanwhile ends
        // the wait (ConnectionPool::endMembers).
        reference.setStartWaiter(&started);
        pool_->join(*connection, reference);
        try {
            operation.start(DaemonContext{connection, &reference}, std::move(settle));
        } catch (...) {
            started.settle(kDNSServiceErr_NoMemory);
        }
        error = started.wait(lock, patience, connection);
        *answerTo = nullptr;
        if (error == kDNSServiceErr_NoError && reference.connection() == connection) {
            reference.setStartWaiter(nullptr);
            pool_->accepted(*connection, reference);
            return kDNSServiceErr_NoError;
        }
        const bool silent = error == kDNSServiceErr_ServiceNotRunning && reference.connection() == connection;
        pool_->leave(reference);
        reference.setStartWaiter(nullptr);
        operation.stop();
        if (error == kObjectLimitReached) {
            pool_->full(connection);  // the next attempt opens a sibling
        } else if (silent || (error != kDNSServiceErr_NoError && error != kDNSServiceErr_ServiceNotRunning)) {
            break;
        }
        // Else the daemon went away before the connection heard of it: a
        // fresh look tells whether it is back.
        error = kDNSServiceErr_ServiceNotRunning;
    }
    return publicCode(error);
}

void DaemonLink::detach(Reference& reference) {
    std::lock_guard<RankedMutex> lock(loop_->mutex());
    if (reference.operation().asUnicast() == nullptr) {
        pool_->leave(reference);
    }
    reference.operation().stop();
}

DNSServiceErrorType DaemonLink::updateTxt(Reference& reference, std::vector<std::string> txt) {
    if (auto* unicast = dynamic_cast<UnicastRegisterOperation*>(reference.operation().asUnicast())) {
        std::lock_guard<RankedMutex> lock(loop_->mutex());
        return unicast->updateTxt(std::move(txt));
    }
    RegisterOperation* registration = reference.operation().asRegistration();
    const Patience patience;
    LoopLock lock(loop_->mutex());
    // The answer's call lives here, not in the operation: a daemon that
    // leaves meanwhile drops the operation's calls, while this one still
    // ends with the bus's error reply.
    PendingCalls call;
    Waiter answered;
    registration->updateTxt(std::move(txt), call,
                            [&answered](DNSServiceErrorType code) { answered.settle(code); });
    return publicCode(answered.wait(lock, patience, reference.connection()));
}

}  // namespace Zelm::DnsSd
