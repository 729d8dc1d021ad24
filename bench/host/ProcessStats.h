#pragma once

// What one process holds right now: threads, memory, and the D-Bus
// connections it has open to the system bus (one per Avahi client).

#include <cstddef>

namespace Zelm::Bench {

struct ProcessStats {
    long threads = 0;
    long rssKb = 0;
    long vszKb = 0;
};

ProcessStats currentProcessStats();

// Bytes the process's heap has handed out and not taken back.
std::size_t heapBytesInUse();

// Connections of this process on the system bus, this probe's own excluded;
// -1 when the bus cannot be asked.
int busConnectionsOfThisProcess();

}  // namespace Zelm::Bench
