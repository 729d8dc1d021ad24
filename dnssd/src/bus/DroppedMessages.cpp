#include "bus/DroppedMessages.h"

#include <atomic>

namespace Zelm::DnsSd {

namespace {
std::atomic<std::uint64_t> dropped{0};
}  // namespace

void noteDroppedMessage() { dropped.fetch_add(1, std::memory_order_relaxed); }

std::uint64_t droppedMessages() { return dropped.load(std::memory_order_relaxed); }

}  // namespace Zelm::DnsSd
