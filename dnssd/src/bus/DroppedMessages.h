#pragma once

// Messages the backend received and did not believe: a signal from anyone but
// the daemon's current owner of its name, a bus notice not from the bus
// itself, a reply from a stranger, or a message of the wrong shape. They are
// dropped; the count lets tests (and a debugger) see that it happened.

#include <cstdint>

namespace Zelm::DnsSd {

void noteDroppedMessage();
std::uint64_t droppedMessages();

}  // namespace Zelm::DnsSd
