#include "operations/UnicastOperation.h"

#include <utility>

namespace Zelm::DnsSd {

void UnicastOperation::stop() {
    stopped_ = true;
    // Each cancel runs its callback, which drops the request from `open_`.
    const auto open = std::exchange(open_, {});
    for (const auto request : open) {
        context_.client->cancel(request);
    }
}

void UnicastOperation::ask(const std::string& name, std::uint16_t type, Handler handler) {
    // The callback may run before query() returns, before its id is known.
    auto id = std::make_shared<Unicast::DnsClient::Request>(0);
    auto ended = std::make_shared<bool>(false);
    const auto request = context_.client->query(
        name, type, [this, id, ended, handler = std::move(handler)](const Unicast::Answer& answer) {
            *ended = true;
            open_.erase(*id);
            if (!stopped_ && answer.outcome != Unicast::Outcome::kCancelled) {
                orLose(context_.sink, [&] { handler(answer); });
            }
        });
    if (!*ended) {
        *id = request;
        try {
            open_.insert(request);
        } catch (...) {
            context_.client->cancel(request);  // never left running unknown
            throw;
        }
    }
}

DNSServiceErrorType unicastFailureCode(Unicast::Outcome outcome) {
    return outcome == Unicast::Outcome::kNoMemory ? kDNSServiceErr_NoMemory : kDNSServiceErr_Timeout;
}

}  // namespace Zelm::DnsSd
