#pragma once

// SIGINT and SIGTERM for a command that runs until it is told to stop. The
// handler only writes to a pipe (self-pipe), which the waiting thread polls.
// Until the command is ready to stop cleanly, a signal ends the process at once.

#include <optional>

namespace Zelm::Tool {

class StopSignal {
public:
    // Installs the handlers. In this first phase a signal prints `earlyMessage`
    // on stderr and exits with status 1.
    explicit StopSignal(const char* earlyMessage);
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;
    // Restores the default handlers.
    ~StopSignal();

    // From now on a signal is recorded and ends wait().
    void armForCleanStop();

    // Waits for a signal, at most `timeoutMs` when given. Returns the signal
    // number, or nothing when the time ran out.
    std::optional<int> wait(std::optional<long long> timeoutMs);

    // The first signal received since arming, without waiting. It stays
    // received, so that every waiting thread sees it.
    std::optional<int> received() const;
};

}  // namespace Zelm::Tool
