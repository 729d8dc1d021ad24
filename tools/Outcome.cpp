#include "Outcome.h"

#include <dns_sd.h>

#include <csignal>
#include <cstdint>

namespace Zelm::Tool {

namespace {

const char* codeText(int code) {
    switch (code) {
        case kDNSServiceErr_Unknown:
            return "unknown error";
        case kDNSServiceErr_NoSuchName:
            return "no such name";
        case kDNSServiceErr_NoMemory:
            return "out of memory";
        case kDNSServiceErr_BadParam:
            return "bad parameter";
        case kDNSServiceErr_BadReference:
            return "bad reference";
        case kDNSServiceErr_BadState:
            return "bad state";
        case kDNSServiceErr_BadFlags:
            return "bad flags";
        case kDNSServiceErr_Unsupported:
            return "not supported by the daemon";
        case kDNSServiceErr_NotInitialized:
            return "no answer";
        case kDNSServiceErr_AlreadyRegistered:
            return "already registered";
        case kDNSServiceErr_NameConflict:
            return "name conflict";
        case kDNSServiceErr_Invalid:
            return "invalid name or index";
        case kDNSServiceErr_Incompatible:
            return "client and daemon incompatible";
        case kDNSServiceErr_BadInterfaceIndex:
            return "bad interface index";
        case kDNSServiceErr_Refused:
            return "refused";
        case kDNSServiceErr_NoSuchRecord:
            return "no such record";
        case kDNSServiceErr_NoAuth:
            return "not authorized";
        case kDNSServiceErr_Transient:
            return "transient failure";
        case kDNSServiceErr_ServiceNotRunning:
            return "DNS-SD daemon not running";
        case kDNSServiceErr_NoRouter:
            return "no network";
        case kDNSServiceErr_Timeout:
            return "timed out";
        default:
            return "DNS-SD error";
    }
}

}  // namespace

std::string codeAndText(int code) { return "code " + std::to_string(code) + " (" + codeText(code) + ")"; }

Outcome judge(const WatchedCall& call, const Zelm::Error& result, bool answered) {
    Outcome outcome;
    outcome.code =
        call.startRefused() || call.daemonLost() ? call.lineCode() : static_cast<int32_t>(result.code());
    outcome.timeoutMs = call.timeoutMs();
    outcome.startMs = call.startMs();
    // A request that never started returned the code of its refused start;
    // one that did start and found nothing ends with a line saying its time
    // was up, or with no code at all when it was cut off before processing.
    const bool started = !call.startRefused() && (call.sawStart() || call.timedOut() || outcome.code == 0);
    if (answered) {
        outcome.ending = Ending::Answered;
    } else if (call.daemonLost()) {
        outcome.ending = Ending::DaemonLost;
    } else if (outcome.code == kDNSServiceErr_NoSuchName || call.replyCode() == kDNSServiceErr_NoSuchName) {
        // A server's answer, however early it came: the request did reach it.
        outcome.code = kDNSServiceErr_NoSuchName;
        outcome.ending = Ending::NoSuchName;
    } else if (call.replyCode() != 0) {
        outcome.code = call.replyCode();
        outcome.ending = Ending::EndedEarly;
    } else if (!started) {
        outcome.ending =
            outcome.code == kDNSServiceErr_ServiceNotRunning ? Ending::DaemonAbsent : Ending::CouldNotStart;
    } else if (call.timedOut() || outcome.code == 0) {
        outcome.ending = Ending::NothingAnswered;
    } else {
        outcome.ending = Ending::EndedEarly;
    }
    return outcome;
}

const char* endingName(Ending ending) {
    static const char* const names[] = {
        "answered",    "nothing answered", "could not start", "daemon absent", "daemon lost",
        "ended early", "no such host",     "not a host name", "interrupted",   "no such name"};
    static_assert(sizeof names / sizeof *names == static_cast<int>(Ending::NoSuchName) + 1,
                  "one name per ending");
    return names[static_cast<int>(ending)];
}

std::string explain(const Outcome& outcome) {
    switch (outcome.ending) {
        case Ending::Answered:
            return "answered";
        case Ending::NothingAnswered:
            return "nothing answered within " + std::to_string(outcome.timeoutMs) + " ms";
        case Ending::CouldNotStart:
            return "the request could not start: " + codeAndText(outcome.code);
        case Ending::DaemonAbsent:
            return "the DNS-SD daemon cannot be reached: the request could not start (code " +
                   std::to_string(outcome.code) + ")";
        case Ending::DaemonLost:
            return "the DNS-SD daemon went away during the request (code " + std::to_string(outcome.code) +
                   ")";
        case Ending::EndedEarly:
            return "the request ended early: " + codeAndText(outcome.code);
        case Ending::NoSuchHost:
            return "the daemon answered at once that it has no address for it";
        case Ending::NotAHostName:
            return "it is an IP address, not a host name";
        case Ending::Interrupted:
            return std::string("interrupted by ") + (outcome.signal == SIGINT ? "SIGINT" : "SIGTERM");
        case Ending::NoSuchName:
            return "the DNS server answered that there is no such name (code " +
                   std::to_string(outcome.code) + ")";
    }
    return "";
}

}  // namespace Zelm::Tool
