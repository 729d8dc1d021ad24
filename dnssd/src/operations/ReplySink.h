#pragma once

#include <dns_sd.h>

#include <functional>

namespace Zelm::DnsSd {

// Calls the reference's reply function with the reply's data, adding the
// kDNSServiceFlagsMoreComing bit the caller passes.
using Delivery = std::function<void(DNSServiceRef ref, DNSServiceFlags moreComing)>;

// Where an operation queues its replies. Called on the event thread.
class ReplySink {
public:
    // A reply that `replacesUnread` takes the place of an earlier one of the
    // same kind that nobody has read yet.
    virtual void post(Delivery delivery, bool replacesUnread = false) = 0;
    // A reply could not be made: memory ran out.
    virtual void lose() = 0;

protected:
    ~ReplySink() = default;
};

// Runs the handling of a daemon event. Memory that runs out on the way
// loses the reply it would have made; the caller learns so from
// DNSServiceProcessResult instead of waiting for it in vain.
template <typename Body>
void orLose(ReplySink* sink, Body body) noexcept {
    try {
        body();
    } catch (...) {
        if (sink != nullptr) {
            sink->lose();
        }
    }
}

}  // namespace Zelm::DnsSd
