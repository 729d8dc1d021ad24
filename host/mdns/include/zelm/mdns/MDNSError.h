#pragma once

#include <zelm/Error.h>
#include <zelm/Export.h>

namespace Zelm::MDNS {

// Base of the mDNS interface library's error types. Adds no state.
class MDNSError : public Zelm::Error {
public:
    using Zelm::Error::Error;
    ~MDNSError() override {}
};

// Returned when an operation finds a DNS-SD request of its component still
// open. Its code lies far outside the DNS-SD range and its category is
// Framework, so a host can tell it apart from every DNS-SD failure.
class ZELM_API BrowseOperationAlreadyInProgress : public MDNSError {
public:
    static constexpr unsigned int Code = 0x5A450001u;  // "ZE", 1

    BrowseOperationAlreadyInProgress();
    ~BrowseOperationAlreadyInProgress() override;
};

}  // namespace Zelm::MDNS
