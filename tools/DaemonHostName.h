#pragma once

// The DNS-SD daemon's host name, asked of the daemon itself over the system
// bus: a host of the plug-in learns it only from a service it resolves, and
// doctor needs it when nothing can be resolved.

#include <string>

namespace Zelm::Tool {

// "zelm-a.local." as avahi-daemon publishes it now; empty when it cannot be asked.
std::string daemonHostName();

}  // namespace Zelm::Tool
