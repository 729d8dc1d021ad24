#pragma once

// The references handed out and not yet deallocated, so that a call with a
// deallocated or foreign pointer is refused instead of touching freed memory,
// and so that DNSServiceProcessResult can hold a reference safely while
// another thread deallocates it.

#include <dns_sd.h>

namespace Zelm::DnsSd {

class Reference;

void addLiveReference(Reference* reference);

// Removes the reference; false when it was not live.
bool removeLiveReference(DNSServiceRef reference);

// The live reference with one more hold (give it back with release()), or null.
Reference* retainLiveReference(DNSServiceRef reference);

// Held across fork(), so that the child finds the registry consistent.
void lockLiveReferences();
void unlockLiveReferences();

}  // namespace Zelm::DnsSd
