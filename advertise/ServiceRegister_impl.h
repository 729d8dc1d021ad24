#pragma once

#include "MDNSBase_impl.h"
#include "SmallStackThread.h"

#include <dns_sd.h>
#include <zelm/Error.h>
#include <zelm/Semaphore.h>
#include <zelm/mdns/ServiceRegisterInterface.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Zelm::MDNS::Apple {

// Advertises one service until the life cycle ends or the component is
// destroyed. The DNS-SD reference stays open while the registration is in
// force, and a keep-alive thread hands the TXT record to the daemon again
// every 110 s.
class ServiceRegister_impl : public MDNSBase_impl, public Zelm::MDNS::ServiceRegisterInterface {
public:
    explicit ServiceRegister_impl(bool waitForRegistration);
    ~ServiceRegister_impl() override;

    // Stops the keep-alive thread, then withdraws the registration.
    void cleanup() override;
    bool isInitialized() const override;
    void releaseSDRef() override;

    // `port` in host byte order; `txtRecord` holds `txtLen` bytes of TXT wire
    // data and is copied. With waitForRegistration, returns once the daemon
    // has confirmed the registration.
    Zelm::Error doServiceRegister(const char* regtype, unsigned short port, unsigned short txtLen,
                                  const void* txtRecord, const char* name, const char* domain,
                                  const char* host, unsigned int interfaceIndex, unsigned int flags) override;

    static void __DNSServiceRegisterReplyFunc__(DNSServiceRef sdRef, DNSServiceFlags flags,
                                                DNSServiceErrorType errorCode, const char* name,
                                                const char* regtype, const char* domain, void* context);

protected:
    // Same as the public constructor but with another keep-alive period, so
    // that tests need not wait 110 s for an update.
    ServiceRegister_impl(bool waitForRegistration, int keepAlivePeriodMs);

    // Returns kDNSServiceErr_NoMemory, starting nothing, when no thread can
    // be started.
    DNSServiceErrorType startKeepAliveThread();
    void stopKeepAliveThread();

    // Guards the names that a successful reply stores and the reply error.
    std::mutex registrationMutex;
    bool waitForRegistration;
    // What the daemon confirmed last; it may have renamed the service.
    std::string registeredName;
    std::string registeredType;
    std::string registeredDomain;
    // Keep-alive period; 0 asks the keep-alive thread to stop.
    std::atomic<int> keepAliveIntervalMs;
    Zelm::Semaphore keepAliveSemaphore;
    std::shared_ptr<SmallStackThread> keepAliveThread;
    // The registered TXT record; unchanged while a registration is in force.
    std::vector<char> txtBuffer;

private:
    void runKeepAlive(DNSServiceRef ref);
    // Starts the keep-alive thread for the registration now in force and
    // returns the call's result; if no thread can be started, withdraws the
    // registration and returns that failure.
    Zelm::Error keepAliveOrWithdraw();
    // cleanup() without taking lifecycleMutex_, which the caller holds.
    void tearDownLocked();
    // Ends a wait for the daemon's confirmation: true once a reply has named
    // the service or reported an error (stored in `replyError`).
    bool registrationSettled(DNSServiceErrorType& replyError);

    const int keepAlivePeriodMs_;
    // Error code of the last error reply of the current registration; guarded
    // by registrationMutex.
    DNSServiceErrorType replyError_ = kDNSServiceErr_NoError;
    // Serialises starting and ending a registration. doServiceRegister holds
    // it from the entry test through the start call, and again from the
    // check after the wait through starting the keep-alive thread; cleanup()
    // holds it while it stops the keep-alive thread and tears the reference
    // down, and the destructor while it stops the thread (the base's
    // destructor deallocates afterwards). Without it, a cleanup() on another
    // thread could find no keep-alive thread, deallocate, and the waiting
    // thread would then start one on the dead reference. It is never held
    // during the wait itself, so that such a cleanup can wake the waiting
    // thread. Taken before registrationMutex; `mutex` is never taken under it.
    std::mutex lifecycleMutex_;
};

}  // namespace Zelm::MDNS::Apple
