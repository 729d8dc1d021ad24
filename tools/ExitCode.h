#pragma once

namespace Zelm::Tool {

enum ExitCode : int {
    exitSuccess = 0,
    exitFailure = 1,  // nothing found, or an operation failed
    exitUsage = 2,
};

}  // namespace Zelm::Tool
