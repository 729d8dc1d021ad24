#pragma once

// How a call into the plug-in ended, and the tool's one wording of each ending.

#include "LibraryLines.h"

#include <zelm/Error.h>

#include <string>

namespace Zelm::Tool {

// How a call ended, told from what the plug-in shows a host: whether the
// request was seen to start, the prefixed line of a refused start, the line
// that says a call's time was up (or, before that, that the daemon went
// away), the returned code and the answer.
enum class Ending {
    Answered,
    NothingAnswered,
    CouldNotStart,
    DaemonAbsent,
    DaemonLost,
    EndedEarly,
    NoSuchHost,    // a lookup the daemon answered at once without an address
    NotAHostName,  // a lookup of an IP address, refused by the tool
    Interrupted,   // SIGINT or SIGTERM before anything was found
    NoSuchName,    // a DNS server answered that the name does not exist
};

struct Outcome {
    Ending ending = Ending::Answered;
    int code = 0;  // the DNS-SD code, signed
    unsigned int timeoutMs = 0;
    long long startMs = -1;  // when the request was seen to start, if it was
    int signal = 0;          // the signal that ended the wait, if one did

    bool answered() const { return ending == Ending::Answered; }
};

Outcome judge(const WatchedCall& call, const Zelm::Error& result, bool answered);

// The ending as JSON names it ("nothing answered", ...).
const char* endingName(Ending ending);

// Why a call found nothing: the tool's one wording of each ending.
std::string explain(const Outcome& outcome);

// What a DNS-SD code means, e.g. "code -65540 (bad parameter)".
std::string codeAndText(int code);

}  // namespace Zelm::Tool
