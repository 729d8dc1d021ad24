#include <zelm/mdns/MDNSError.h>

namespace Zelm::MDNS {

BrowseOperationAlreadyInProgress::BrowseOperationAlreadyInProgress()
    : MDNSError(Code, Zelm::Error::Framework, "mDNS operation already in progress") {}

BrowseOperationAlreadyInProgress::~BrowseOperationAlreadyInProgress() = default;

}  // namespace Zelm::MDNS
