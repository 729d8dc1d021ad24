#include "operations/UnicastResolveOperation.h"

#include "names/ServiceNames.h"
#include "names/TxtRecord.h"
#include "unicast/DnsAnswer.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>

#include <algorithm>

namespace Zelm::DnsSd {

UnicastResolveOperation::UnicastResolveOperation(std::string name, std::string type, std::string domain,
                                                 DNSServiceResolveReply callBack, void* context)
    : name_(std::move(name)),
      fullName_(fullServiceName(name_, type, domain)),
      callBack_(callBack),
      userContext_(context) {}

void UnicastResolveOperation::begin(const UnicastContext& context) {
    context_ = context;
    ask(fullName_, ns_t_srv, [this](const Unicast::Answer& answer) { onAnswer(service_, answer); });
    ask(fullName_, ns_t_txt, [this](const Unicast::Answer& answer) { onAnswer(text_, answer); });
}

void UnicastResolveOperation::onAnswer(std::optional<Unicast::Answer>& slot, const Unicast::Answer& answer) {
    slot = answer;
    if (service_ && text_) {
        reply();
    }
}

void UnicastResolveOperation::reply() {
    if (service_->outcome != Unicast::Outcome::kAnswered &&
        service_->outcome != Unicast::Outcome::kNoAnswer) {
        postFailure(unicastFailureCode(service_->outcome));
        return;
    }
    const Unicast::ReadAnswer services = Unicast::readAnswer(service_->message, fullName_, ns_t_srv);
    const Unicast::Record* best = nullptr;
    for (const Unicast::Record& record : services.records) {
        if (record.numbers.size() == 3 && record.names.size() == 1 &&
            (best == nullptr || record.numbers[0] < best->numbers[0] ||
             (record.numbers[0] == best->numbers[0] && record.numbers[1] > best->numbers[1]))) {
            best = &record;
        }
    }
    if (best == nullptr) {
        postFailure(kDNSServiceErr_NoSuchName);
        return;
    }
    std::vector<std::string> strings;
    if (text_->outcome == Unicast::Outcome::kAnswered) {
        const Unicast::ReadAnswer texts = Unicast::readAnswer(text_->message, fullName_, ns_t_txt);
        if (!texts.records.empty()) {
            strings = texts.records.front().strings;
        }
    }
    const uint16_t networkPort = htons(best->numbers[2]);
    context_.sink->post([callBack = callBack_, context = userContext_, fullname = fullName_,
                         host = Unicast::presentationName(best->names.front()), networkPort,
                         record = txtRecordBytes(strings)](DNSServiceRef ref, DNSServiceFlags more) {
        callBack(ref, more, kDNSServiceInterfaceIndexAny, kDNSServiceErr_NoError, fullname.c_str(),
                 host.c_str(), networkPort, static_cast<uint16_t>(record.size()),
                 reinterpret_cast<const unsigned char*>(record.data()), context);
    });
}

void UnicastResolveOperation::postFailure(DNSServiceErrorType code) {
    if (code == kDNSServiceErr_NoMemory) {
        context_.sink->lose();
        return;
    }
    context_.sink->post(
        [callBack = callBack_, context = userContext_, code](DNSServiceRef ref, DNSServiceFlags more) {
            static const unsigned char emptyRecord[1] = {0};
            callBack(ref, more, kDNSServiceInterfaceIndexAny, code, "", "", 0, 1, emptyRecord, context);
        });
}

}  // namespace Zelm::DnsSd
