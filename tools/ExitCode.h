#pragma once

namespace zelm_mdns {

enum ExitCode : int {
    exitSuccess = 0,
    exitFailure = 1,  // nothing found, or an operation failed
    exitUsage = 2,
};

}  // namespace zelm_mdns
