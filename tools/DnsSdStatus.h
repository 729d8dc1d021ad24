#pragma once

// Readable texts for the outcomes that the plug-in's operations return. The
// plug-in does not export its own table, so the tool keeps a short one.

#include <zelm/Error.h>

#include <string>

namespace Zelm::Tool {

// Short English text for a DNS-SD error code ("DNS-SD error" when unknown).
std::string dnsSdErrorText(int code);

// The code of an operation's outcome as the signed DNS-SD value.
int signedCode(const Zelm::Error& error);

// "code -65563 (DNS-SD daemon not running)", or the text of the host's busy
// error, for a message on stderr.
std::string describeOutcome(const Zelm::Error& error);

// True when the outcome says the DNS-SD daemon could not be reached.
bool daemonUnreachable(const Zelm::Error& error);

}  // namespace Zelm::Tool
