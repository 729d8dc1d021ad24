#pragma once

#include <dns_sd.h>

#include <functional>
#include <memory>
#include <utility>

namespace Zelm::DnsSd {

// The answer to a start: kDNSServiceErr_NoError once the daemon accepted the
// operation's requests, else why not. Given once; copies share it. When the
// last copy goes without having given it (the request that would have
// carried it was dropped, or memory ran out on the way), it is given as
// kDNSServiceErr_NoMemory: a waiting caller is never left waiting.
class Settle {
public:
    using Function = std::function<void(DNSServiceErrorType)>;

    Settle() = default;
    explicit Settle(Function answer) : answer_(std::make_shared<Answer>(std::move(answer))) {}

    void operator()(DNSServiceErrorType code) const {
        if (answer_ && answer_->function) {
            std::exchange(answer_->function, nullptr)(code);
        }
    }
    explicit operator bool() const { return answer_ && answer_->function; }
    void reset() { answer_.reset(); }

private:
    struct Answer {
        explicit Answer(Function given) : function(std::move(given)) {}
        ~Answer() {
            if (function) {
                function(kDNSServiceErr_NoMemory);
            }
        }
        Answer(const Answer&) = delete;
        Answer& operator=(const Answer&) = delete;
        Function function;
    };

    std::shared_ptr<Answer> answer_;
};

}  // namespace Zelm::DnsSd
