#pragma once

// The plug-in writes its diagnostic lines to std::cout. The tool takes them
// in, line by line, and reads two kinds itself instead of passing them on:
// - "mDNS error: -65563: ..." written once a call's time is up: the end of
//   the call's time-out cut its processing off, which is no error;
// - the same line before a call's time is up: the daemon went away, which
//   ends the call's processing (it still lasts its time-out);
// - a prefixed line ("AddressInfo_impl::getAddressInfo:mDNS error: ...")
//   written on the calling thread: the request could not start;
// - any other code's line while one call runs: the daemon answered its
//   request with that error (a missing name, say), which ends it.
// Every other line goes on to stderr, or nowhere with --quiet.

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace Zelm::Tool {

// Points std::cout at the tool's reader of the plug-in's lines.
void captureLibraryLines(bool passOn);

// One call into the plug-in, watched from its start to its end: whether its
// request started (the component's isInitialized() seen true, on a thread of
// its own) and which of the plug-in's lines belong to it.
class WatchedCall {
public:
    using Clock = std::chrono::steady_clock;

    // `timeoutMs`: how long the call lasts unless answered (0: not timed).
    // `isInitialized`: the component's, or empty. `onEnding` runs (on any
    // thread) once the start is refused, the daemon is lost or it answered
    // with an error.
    WatchedCall(unsigned int timeoutMs, std::function<bool()> isInitialized,
                std::function<void()> onEnding = {});
    WatchedCall(const WatchedCall&) = delete;
    WatchedCall& operator=(const WatchedCall&) = delete;
    ~WatchedCall();

    // Ends the watch; call it once the plug-in's call has returned.
    void finish();

    unsigned int timeoutMs() const { return timeoutMs_; }
    bool sawStart() const { return startMs_ >= 0; }
    // Milliseconds from the call to the first sign of its start, or -1.
    long long startMs() const { return startMs_; }
    bool timedOut() const { return timedOut_; }
    bool startRefused() const { return startRefused_; }
    bool daemonLost() const { return daemonLost_; }
    // The code of the refused start's or the lost daemon's line.
    int lineCode() const { return lineCode_; }
    // The error the daemon answered the request with, or 0.
    int replyCode() const { return replyCode_; }

private:
    friend void takeLine(const std::string& line);

    unsigned int timeoutMs_;
    Clock::time_point begin_ = Clock::now();
    std::thread::id caller_ = std::this_thread::get_id();
    std::atomic<long long> startMs_{-1};
    std::atomic<bool> timedOut_{false};
    std::atomic<bool> startRefused_{false};
    std::atomic<bool> daemonLost_{false};
    std::atomic<int> lineCode_{0};
    std::atomic<int> replyCode_{0};
    std::function<void()> onEnding_;
    std::atomic<bool> stopping_{false};
    std::thread watcher_;
};

}  // namespace Zelm::Tool
