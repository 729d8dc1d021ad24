#pragma once

#include <atomic>

namespace Zelm::DnsSd {

// Counts the forks that this copy of the process went through: what a parent
// made (its references, its daemon link) belongs to an older generation in
// the child, which neither uses nor frees it, since the parent still does.
inline std::atomic<unsigned long> processGenerationCounter{0};

inline unsigned long processGeneration() { return processGenerationCounter.load(std::memory_order_relaxed); }

}  // namespace Zelm::DnsSd
